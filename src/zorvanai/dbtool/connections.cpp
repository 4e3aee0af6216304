#include "connections.hpp"

#include <stdexcept>
#include <string>

#include "pycall.hpp"
#include "sqlite.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/watched_work.hpp"

namespace zorvanai::dbtool {

namespace {
using namespace pybind11::literals;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// A value as it may stand after "KEY=" in an ODBC connection string.
std::string odbc_value(const std::string& value) {
    const bool special = value.find_first_of(";{}=") != std::string::npos ||
                         (!value.empty() && (is_blank(value.front()) || is_blank(value.back())));
    if (!special) return value;
    std::string quoted = "{";
    for (char c : value) {
        quoted += c;
        if (c == '}') quoted += '}';
    }
    return quoted + "}";
}

std::string text_of(const py::handle& value) {
    return py::str(value).cast<std::string>();
}

// A user name is needed: without one the drivers would log in with the
// operating system's user name, a default account by another name.
void require_user(const py::object& user, const py::object& error_class) {
    if (!user.is_none()) return;
    zorvan::raise_error(error_class, "no user name: set db_user (environment or set_database_config) or pass db_user");
}

// PyMySQL's connect_timeout covers only the TCP connect: a peer that
// accepts and then stays silent (another service on that port, a stuck
// server) would hold the login exchange forever. Reads and writes are
// limited as well while connecting, and the limits lifted afterwards so that
// a long statement is not cut off.
py::object connect_mysql(py::dict arguments) {
    require_user(arguments["user"], zorvan::imported(zorvan::dep::pymysql_OperationalError));
    const long seconds = connect_timeout_seconds();
    arguments["connect_timeout"] = seconds;
    arguments["read_timeout"] = seconds;
    arguments["write_timeout"] = seconds;
    py::object connection = zorvan::imported(zorvan::dep::pymysql_connect)(**arguments);
    for (const char* limit : {"_read_timeout", "_write_timeout"}) {
        if (py::hasattr(connection, limit)) py::setattr(connection, limit, py::none());
    }
    // Keepalives notice a server that vanished while a statement runs.
    if (py::hasattr(connection, "_sock") && !connection.attr("_sock").is_none()) {
        zorvan::keep_alive(connection.attr("_sock").attr("fileno")().cast<int>());
    }
    return connection;
}

py::object connect_mysql(const py::object& user, const py::object& password, const py::object& host,
                         const py::object& port, const py::object& name) {
    return connect_mysql(
        py::dict("host"_a = host, "user"_a = user, "password"_a = password, "database"_a = name, "port"_a = port));
}

py::object connect_postgres(const py::object& user, const py::object& password, const py::object& host,
                            const py::object& port, const py::object& name) {
    py::object psycopg2 = zorvan::imported_module(zorvan::dep::psycopg2_module);
    require_user(user, psycopg2.attr("OperationalError"));
    // libpq's connect_timeout bounds the whole connection start-up; keepalives
    // notice a server that vanished while a statement runs.
    return psycopg2.attr("connect")("user"_a = user, "password"_a = password, "host"_a = host, "port"_a = port,
                                    "database"_a = name, "connect_timeout"_a = connect_timeout_seconds(),
                                    "keepalives"_a = 1, "keepalives_idle"_a = 30, "keepalives_interval"_a = 10,
                                    "keepalives_count"_a = 3);
}

py::object connect_mssql(const py::object& user, const py::object& password, const py::object& host,
                         const py::object& port, const py::object& name) {
    py::object pyodbc = zorvan::imported_module(zorvan::dep::pyodbc_module);
    const std::string connection_string =
        mssql_connection_string(text_of(host), text_of(port), text_of(name), text_of(user), text_of(password));
    // pyodbc's timeout is the login time-out.
    return pyodbc.attr("connect")(connection_string, "timeout"_a = connect_timeout_seconds());
}
}  // namespace

long connect_timeout_seconds() {
    py::object raw = zorvan::imported(zorvan::dep::os_environ).attr("get")("ZORVAN_DB_CONNECT_TIMEOUT", "");
    const std::string text = raw.cast<std::string>();
    if (text.empty()) return kDefaultConnectTimeoutSeconds;
    std::size_t used = 0;
    long seconds = 0;
    try {
        seconds = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || seconds < 1) {
        throw py::value_error("ZORVAN_DB_CONNECT_TIMEOUT must be a whole number of seconds, 1 or more, not '" + text +
                              "'");
    }
    return seconds;
}

std::string mssql_connection_string(const std::string& host, const std::string& port, const std::string& name,
                                    const std::string& user, const std::string& password) {
    // Host and port form one SERVER value, so they are braced together.
    return "DRIVER={SQL Server};SERVER=" + odbc_value(host + "," + port) + ";DATABASE=" + odbc_value(name) +
           ";UID=" + odbc_value(user) + ";PWD=" + odbc_value(password);
}

py::str get_db_connection(const py::object& engine, const py::object& user, const py::object& password,
                          const py::object& host, const py::object& port, const py::object& name) {
    using Connect =
        py::object (*)(const py::object&, const py::object&, const py::object&, const py::object&, const py::object&);
    Connect connect = nullptr;
    if (engine.equal(py::str("MySQL"))) {
        connect = connect_mysql;
    } else if (engine.equal(py::str("PostgreSQL"))) {
        connect = connect_postgres;
    } else if (engine.equal(py::str("MsSQL"))) {
        connect = connect_mssql;
    } else if (engine.equal(py::str("SQLite"))) {
        connect = [](const py::object&, const py::object&, const py::object&, const py::object&,
                     const py::object& name) { return connect_sqlite(name); };
    } else {
        return py::str("Unsupported SQL engine specified.");
    }
    return catch_errors(
        [&]() -> py::str {
            // The test only needs to know that the server accepted the login.
            close_quietly(connect(user, password, host, port, name));
            return py::str("Success! Connection Established! .");
        },
        [&](const py::object& error) { return format("Failed to connect to {} database: {}", engine, error); });
}

py::object get_mysql_db_connection(const py::object& user, const py::object& password, const py::object& host,
                                   const py::object& port, const py::object& name) {
    return catch_errors(
        [&]() -> py::object {
            py::dict db_credentials("host"_a = host, "user"_a = user, "password"_a = password, "database"_a = name,
                                    "port"_a = port,
                                    "cursorclass"_a = zorvan::imported(zorvan::dep::pymysql_cursors_DictCursor));
            return connect_mysql(db_credentials);
        },
        [](const py::object& error) -> py::object {
            print_line(format("Failed to connect to the database: {}", error));
            return py::none();
        });
}

py::object get_pgdb_connection(const py::object& user, const py::object& password, const py::object& host,
                               const py::object& port, const py::object& name) {
    py::object psycopg2 = zorvan::imported_module(zorvan::dep::psycopg2_module);
    try {
        return connect_postgres(user, password, host, port, name);
    } catch (py::error_already_set& error) {
        if (!error.matches(psycopg2.attr("OperationalError"))) throw;
        print_line(format("The error '{}' occurred", error.value()));
        return py::none();
    }
}

}  // namespace zorvanai::dbtool
