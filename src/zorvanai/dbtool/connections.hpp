// Opening connections to MySQL and PostgreSQL, and the connection test for
// MySQL, PostgreSQL and SQL Server. Drivers are imported at the call, so
// that a process only loads the driver of the engine it uses.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::dbtool {
namespace py = pybind11;

// Seconds a connect (including the login exchange) may take before the
// driver gives up, unless the environment variable ZORVAN_DB_CONNECT_TIMEOUT
// (read at each connect) names another whole number of seconds.
constexpr long kDefaultConnectTimeoutSeconds = 10;
long connect_timeout_seconds();

// Connection test: a result text, never an exception, never a printed line.
py::str get_db_connection(const py::object& engine, const py::object& user, const py::object& password,
                          const py::object& host, const py::object& port, const py::object& name);

// An open PyMySQL connection whose cursors return rows as dicts, or None
// after printing the failure.
py::object get_mysql_db_connection(const py::object& user, const py::object& password, const py::object& host,
                                   const py::object& port, const py::object& name);

// An open psycopg2 connection, or None after printing an operational error;
// any other error propagates.
py::object get_pgdb_connection(const py::object& user, const py::object& password, const py::object& host,
                               const py::object& port, const py::object& name);

// The ODBC connection string for SQL Server. A value holding a character that
// means something in a connection string is braced, so that it cannot end
// its attribute and add others.
std::string mssql_connection_string(const std::string& host, const std::string& port, const std::string& name,
                                    const std::string& user, const std::string& password);

}  // namespace zorvanai::dbtool
