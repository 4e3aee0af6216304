#include "read_only_session.hpp"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <vector>

#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

std::string seconds_text(double seconds) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(3) << seconds;
    return out.str();
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? separator : "") + parts[i];
    return text;
}

}  // namespace

ReadOnlySession::ReadOnlySession(const HandleConfig& config, std::optional<long> select_limit)
    : config_(config), select_limit_(select_limit) {
    connection_ = config_.engine.attr("connect")();
    try {
        try {
            begin();
        } catch (py::error_already_set& error) {
            // A connection that died while idle in the pool (server restart,
            // killed session) is replaced once: only the session set-up has
            // run on it. Drivers do not all report such a loss as a
            // disconnect, so any driver error here counts.
            if (!error.matches(zorvan::import_attr("sqlalchemy.exc", "DBAPIError"))) throw;
            try {
                connection_.attr("invalidate")();
            } catch (py::error_already_set&) {
            }
            finish();
            connection_ = config_.engine.attr("connect")();
            begin();
        }
    } catch (...) {
        finish();
        throw;
    }
}

ReadOnlySession::~ReadOnlySession() {
    finish();
}

py::object ReadOnlySession::execute_text(const std::string& sql, const py::dict& options) {
    py::dict all_options;
    for (auto item : options) all_options[item.first] = item.second;
    all_options["no_parameters"] = py::bool_(true);
    return connection_.attr("exec_driver_sql")(sql, py::arg("execution_options") = all_options);
}

py::object ReadOnlySession::execute(const py::object& statement, const py::object& parameters,
                                    const py::dict& options) {
    return connection_.attr("execute")(statement, parameters, py::arg("execution_options") = options);
}

void ReadOnlySession::restart() {
    connection_.attr("rollback")();
    begin();
}

void ReadOnlySession::begin_postgres(double timeout) {
    std::string check = "SELECT pg_catalog.current_setting('transaction_read_only')";
    // Local to the transaction, like SET LOCAL.
    if (timeout > 0)
        check += ", pg_catalog.set_config('statement_timeout', '" + milliseconds_text(timeout) + "', true)";
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Must come first in the transaction; it also stops functions with
        // side effects (nextval, ...) and EXPLAIN ANALYZE of a write.
        execute_text("SET TRANSACTION READ ONLY");
        if (std::string(py::str(execute_text(check).attr("scalar")())) == "on") return;
        // An engine in autocommit mode has no transaction to make read-only:
        // this connection gets one (the pool restores its mode on return).
        connection_.attr("rollback")();
        connection_.attr("execution_options")(py::arg("isolation_level") = "READ COMMITTED");
    }
    throw py::value_error("could not start a read-only transaction on this PostgreSQL connection");
}

void ReadOnlySession::begin() {
    const double timeout = config_.statement_timeout;
    switch (config_.kind) {
        case ServerKind::PostgreSQL:
            begin_postgres(timeout);
            break;
        case ServerKind::MySQL:
        case ServerKind::MariaDB: {
            std::vector<std::string> assignments;
            if (timeout > 0) {
                assignments.push_back(config_.kind == ServerKind::MariaDB
                                          ? "max_statement_time = " + seconds_text(timeout)
                                          : "max_execution_time = " + milliseconds_text(timeout));
            }
            if (select_limit_) assignments.push_back("sql_select_limit = " + std::to_string(*select_limit_));
            if (!assignments.empty()) {
                execute_text("SET SESSION " + join(assignments, ", "));
                session_variables_set_ = true;
            }
            // DDL commits implicitly and is not stopped here: the statement
            // check refuses it before it is sent.
            execute_text("START TRANSACTION READ ONLY");
            break;
        }
        case ServerKind::MSSQL: {
            // SQL Server has no read-only transaction; pyodbc's query time-out
            // is the time limit.
            py::object driver_connection = connection_.attr("connection").attr("dbapi_connection");
            if (timeout > 0 && py::hasattr(driver_connection, "timeout")) {
                if (!saved_driver_timeout_) saved_driver_timeout_ = driver_connection.attr("timeout");
                driver_connection.attr("timeout") = py::int_(static_cast<long>(std::ceil(timeout)));
            }
            break;
        }
        case ServerKind::SQLite:
            execute_text("PRAGMA query_only = ON");
            session_variables_set_ = true;
            break;
        case ServerKind::Other:
            break;
    }
}

void ReadOnlySession::finish() noexcept {
    if (!connection_) return;
    try {
        connection_.attr("rollback")();
    } catch (...) {
    }
    if (session_variables_set_) {
        // The connection goes back to a pool that other code may share.
        try {
            if (config_.kind == ServerKind::SQLite) {
                execute_text("PRAGMA query_only = OFF");
            } else {
                const char* timeout_variable =
                    config_.kind == ServerKind::MariaDB ? "max_statement_time" : "max_execution_time";
                execute_text(std::string("SET SESSION ") + timeout_variable + " = DEFAULT, sql_select_limit = DEFAULT");
            }
            connection_.attr("rollback")();
        } catch (...) {
        }
    }
    if (saved_driver_timeout_) {
        try {
            connection_.attr("connection").attr("dbapi_connection").attr("timeout") = saved_driver_timeout_;
        } catch (...) {
        }
    }
    try {
        connection_.attr("close")();
    } catch (...) {
    }
    connection_ = py::object();
    saved_driver_timeout_ = py::object();
    session_variables_set_ = false;
}

}  // namespace zorvanai::custom_sql
