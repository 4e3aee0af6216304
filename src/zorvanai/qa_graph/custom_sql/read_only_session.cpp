#include "read_only_session.hpp"

#include <cmath>
#include <iomanip>
#include <set>
#include <sstream>
#include <vector>

#include "stoppers.hpp"
#include "zorvan/python_names.hpp"
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

std::set<std::string> mode_flags(const std::string& mode) {
    std::set<std::string> flags;
    std::string flag;
    for (char c : mode + ",") {
        if (c != ',') {
            flag += c;
        } else if (!flag.empty()) {
            flags.insert(flag);
            flag.clear();
        }
    }
    return flags;
}

[[noreturn]] void pin_failed(const std::string& what) {
    throw py::value_error("could not pin the session setting that the query check relies on: " + what);
}

std::string mysql_identifier(const std::string& name) {
    std::string quoted = "`";
    for (char c : name) quoted += c == '`' ? std::string("``") : std::string(1, c);
    return quoted + "`";
}

}  // namespace

ReadOnlySession::ReadOnlySession(const HandleConfig& config, zorvan::WorkWatch* watch, std::optional<long> select_limit)
    : config_(config), watch_(watch), select_limit_(select_limit) {
    step();
    connection_ = config_.engine.attr("connect")();
    try {
        try {
            begin();
        } catch (py::error_already_set& error) {
            // A connection that died while idle in the pool (server restart,
            // killed session) is replaced once: only the session set-up has
            // run on it. Drivers do not all report such a loss as a
            // disconnect, so any driver error here counts.
            if (!error.matches(zorvan::imported(zorvan::dep::sqlalchemy_exc_DBAPIError))) throw;
            discard_ = true;
            finish();
            discard_ = false;
            connection_ = config_.engine.attr("connect")();
            begin();
        }
        if (watch_) publish_stoppers(*watch_, config_, driver_connection());
    } catch (...) {
        finish();
        throw;
    }
}

ReadOnlySession::~ReadOnlySession() {
    finish();
}

py::object ReadOnlySession::driver_connection() const {
    return connection_.attr("connection").attr("dbapi_connection");
}

void ReadOnlySession::step() {
    if (watch_) watch_->step_started();
}

py::object ReadOnlySession::execute_text(const std::string& sql, const py::dict& options) {
    py::dict all_options;
    for (auto item : options) all_options[item.first] = item.second;
    all_options["no_parameters"] = py::bool_(true);
    step();
    return connection_.attr("exec_driver_sql")(sql, py::arg("execution_options") = all_options);
}

py::object ReadOnlySession::execute(const py::object& statement, const py::object& parameters,
                                    const py::dict& options) {
    step();
    return connection_.attr("execute")(statement, parameters, py::arg("execution_options") = options);
}

void ReadOnlySession::restart() {
    connection_.attr("rollback")();
    begin();
}

void ReadOnlySession::begin_postgres() {
    std::string check =
        "SELECT pg_catalog.current_setting('transaction_read_only'), "
        "pg_catalog.set_config('standard_conforming_strings', 'on', true), "
        "pg_catalog.set_config('search_path', pg_catalog.quote_ident(:schema), true), "
        "pg_catalog.quote_ident(:schema)";
    // Local to the transaction, like SET LOCAL.
    if (config_.statement_timeout > 0) {
        check += ", pg_catalog.set_config('statement_timeout', '" + milliseconds_text(config_.statement_timeout) +
                 "', true)";
    }
    py::object version = config_.engine.attr("dialect").attr("server_version_info");
    // The server notices a client that went away while a query runs.
    if (!version.is_none() && version[py::int_(0)].cast<long>() >= 14) {
        check += ", pg_catalog.set_config('client_connection_check_interval', '1000', true)";
    }
    py::dict parameters;
    parameters["schema"] = py::str(config_.query_schema);
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Must come first in the transaction; it also stops functions with
        // side effects (nextval, ...) that reach the server.
        execute_text("SET TRANSACTION READ ONLY");
        py::tuple row = execute(zorvan::imported(zorvan::dep::sqlalchemy_text)(check), parameters).attr("one")();
        if (std::string(py::str(row[0])) == "on") {
            if (std::string(py::str(row[1])) != "on") pin_failed("standard_conforming_strings");
            if (!row[2].equal(row[3])) pin_failed("search_path");
            return;
        }
        // An engine in autocommit mode has no transaction to make read-only:
        // this connection gets one (the pool restores its mode on return).
        connection_.attr("rollback")();
        connection_.attr("execution_options")(py::arg("isolation_level") = "READ COMMITTED");
    }
    throw py::value_error("could not start a read-only transaction on this PostgreSQL connection");
}

void ReadOnlySession::begin_mysql() {
    const double timeout = config_.statement_timeout;
    std::vector<std::string> assignments;
    assignments.push_back("sql_mode = '" + config_.sql_mode + "'");
    if (timeout > 0) {
        assignments.push_back(config_.kind == ServerKind::MariaDB
                                  ? "max_statement_time = " + seconds_text(timeout)
                                  : "max_execution_time = " + milliseconds_text(timeout));
    }
    if (select_limit_) assignments.push_back("sql_select_limit = " + std::to_string(*select_limit_));
    execute_text("SET SESSION " + join(assignments, ", "));
    session_variables_set_ = true;
    if (!config_.schema.is_none()) execute_text("USE " + mysql_identifier(config_.query_schema));
    // DDL commits implicitly and is not stopped here: the query check
    // refuses it before it is sent.
    execute_text("START TRANSACTION READ ONLY");
    const std::string mode = py::str(execute_text("SELECT @@SESSION.sql_mode").attr("scalar")());
    if (mode_flags(mode) != mode_flags(config_.sql_mode)) pin_failed("sql_mode");
}

void ReadOnlySession::begin() {
    const double timeout = config_.statement_timeout;
    switch (config_.kind) {
        case ServerKind::PostgreSQL:
            begin_postgres();
            break;
        case ServerKind::MySQL:
        case ServerKind::MariaDB:
            begin_mysql();
            break;
        case ServerKind::MSSQL: {
            // SQL Server has no read-only transaction; pyodbc's query time-out
            // is the time limit.
            py::object driver = driver_connection();
            if (timeout > 0 && py::hasattr(driver, "timeout")) {
                if (!saved_driver_timeout_) saved_driver_timeout_ = driver.attr("timeout");
                driver.attr("timeout") = py::int_(static_cast<long>(std::ceil(timeout)));
            }
            break;
        }
        case ServerKind::SQLite:
            execute_text("PRAGMA query_only = ON");
            session_variables_set_ = true;
            watch_sqlite();
            break;
        case ServerKind::Other:
            break;
    }
}

void ReadOnlySession::watch_sqlite() {
    py::object driver = driver_connection();
    if (!py::hasattr(driver, "set_progress_handler")) return;
    auto stop = std::make_shared<SqliteStop>();
    if (config_.statement_timeout > 0) {
        stop->limited = true;
        stop->deadline = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<long long>(config_.statement_timeout * 1000));
    }
    // Called by SQLite every few thousand steps; a true result stops the statement.
    py::cpp_function handler([stop]() -> int {
        if (PyErr_CheckSignals() != 0) {
            stop->interrupt.emplace();
            return 1;
        }
        if (stop->limited && std::chrono::steady_clock::now() > stop->deadline) {
            stop->timed_out = true;
            return 1;
        }
        return 0;
    });
    driver.attr("set_progress_handler")(handler, 10000);
    sqlite_stop_ = stop;
}

bool ReadOnlySession::stopped_at_time_limit() {
    if (!sqlite_stop_) return false;
    if (sqlite_stop_->interrupt) throw *sqlite_stop_->interrupt;
    return sqlite_stop_->timed_out;
}

// Nothing set during the work stays on the connection: PostgreSQL discards
// the whole session state (locks, settings, prepared statements, temporary
// tables), MySQL/MariaDB resets the session; a driver that cannot reset
// loses its connection instead.
void ReadOnlySession::reset() noexcept {
    try {
        py::object driver = driver_connection();
        switch (config_.kind) {
            case ServerKind::PostgreSQL: {
                const bool autocommit = py::bool_(driver.attr("autocommit"));
                driver.attr("autocommit") = py::bool_(true);
                py::object cursor = driver.attr("cursor")();
                step();
                // psycopg2 reads dates in the ISO style it set when it
                // connected; DISCARD ALL would take the server's default back.
                cursor.attr("execute")("DISCARD ALL");
                cursor.attr("execute")("SET DateStyle TO ISO");
                cursor.attr("close")();
                driver.attr("autocommit") = py::bool_(autocommit);
                break;
            }
            case ServerKind::MySQL:
            case ServerKind::MariaDB:
                if (!py::hasattr(driver, "cmd_reset_connection")) {
                    discard_ = true;
                    break;
                }
                step();
                driver.attr("cmd_reset_connection")();
                if (!config_.schema.is_none()) {
                    py::object database = config_.engine.attr("url").attr("database");
                    if (database.is_none()) {
                        discard_ = true;
                    } else {
                        execute_text("USE " + mysql_identifier(py::str(database)));
                        connection_.attr("rollback")();
                    }
                }
                break;
            case ServerKind::SQLite:
                if (sqlite_stop_) driver.attr("set_progress_handler")(py::none(), 0);
                if (session_variables_set_) {
                    execute_text("PRAGMA query_only = OFF");
                    connection_.attr("rollback")();
                }
                break;
            case ServerKind::MSSQL:
                if (saved_driver_timeout_) driver.attr("timeout") = saved_driver_timeout_;
                break;
            case ServerKind::Other:
                break;
        }
    } catch (...) {
        discard_ = true;
    }
}

void ReadOnlySession::finish() noexcept {
    if (!connection_) return;
    try {
        connection_.attr("rollback")();
    } catch (...) {
        discard_ = true;
    }
    if (!discard_) reset();
    if (discard_) {
        try {
            connection_.attr("invalidate")();
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
    discard_ = false;
}

}  // namespace zorvanai::custom_sql
