#include <pybind11/pybind11.h>

#include "config.hpp"
#include "connections.hpp"
#include "queries.hpp"
#include "schema.hpp"
#include "sqlite.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace db = zorvanai::dbtool;

namespace {
constexpr const char* kLoginArgs = R"(Args:
    db_user: user name.
    db_password: password.
    db_host: host name or address.
    db_port: port.
    db_name: database name.
)";
// How the schema listings end when reading fails midway.
constexpr const char* kPartialSchema = R"( An error
    while reading is printed as "An error occurred: <error>" and the tables read
    so far are returned.)";
}  // namespace

PYBIND11_MODULE(dbtool, m) {
    m.doc() =
        R"(Direct access to a MySQL, PostgreSQL or SQLite database, outside the assistant.

Connection settings come from the environment
(db_user, db_password, db_host, db_name; db_port is 3306), a connection test for MySQL,
PostgreSQL, SQL Server and SQLite, single statements and schema listings. Failures are
printed as one line and give None (with ZORVAN_QUIET=1 the lines go to the logger
"zorvanai" at DEBUG instead). For SQLite, db_name is the file, opened read-only.

Module values: db_name, db_user, db_password, db_host, db_port (read by every call;
replace them with set_database_config). There is no default account or password:
an unset value is None, and no login is tried without a user name. Connections give
up after ZORVAN_DB_CONNECT_TIMEOUT seconds (default 10) and send TCP keepalives;
Ctrl-C stops a running statement on the server too.

    from zorvanai import dbtool
    dbtool.set_database_config("shop", "analyst", "secret", "localhost", 5432)
    print(dbtool.get_pgdb_schema()))";
    db::load_config(m);

    // The functions keep the module so that they read its attributes at each
    // call; assignments to them (or set_database_config) take effect at once.
    py::module_ module = m;

    zorvan::def(
        m, "set_database_config", "(name, user, password, host, port)",
        R"(Replace the whole configuration of the query and schema functions.

Args:
    name: database name.
    user: user name.
    password: password.
    host: host name or address.
    port: port, an int.

Raises:
    ValueError: a text is None or port is not an int; nothing is changed.)",
        [module](py::object name, py::object user, py::object password, py::object host, py::object port) mutable {
            db::set_database_config(module, name, user, password, host, port);
        },
        py::arg("name"), py::arg("user"), py::arg("password"), py::arg("host"), py::arg("port"));
    zorvan::def(m, "check_db_config_variables", "()",
                R"(Print whether every setting is usable.

Returns:
    The names ("db_name", "db_user", "db_password", "db_host", "db_port")
    of the settings that are None or empty, in that order; [] when all are set.)",
                [module]() { return db::check_db_config_variables(module); });

    zorvan::def(
        m, "get_db_connection", "(engine, db_user, db_password, db_host, db_port, db_name)",
        R"(Test a connection to a database; the configuration is not used.

Args:
    engine: "MySQL", "PostgreSQL", "MsSQL" or "SQLite" (exactly so).
    db_user: user name.
    db_password: password.
    db_host: host name or address.
    db_port: port.
    db_name: database name; for SQLite the file (the other values
        are not used).

Returns:
    "Success! Connection Established! .", "Failed to connect to <engine>
    database: <error>" or "Unsupported SQL engine specified."; never raises for a
    failed connection.)",
        [](py::object engine, py::object user, py::object password, py::object host, py::object port, py::object name) {
            return db::get_db_connection(engine, user, password, host, port, name);
        },
        py::arg("engine"), py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"),
        py::arg("db_name"));
    zorvan::def(m, "get_mysql_db_connection", "(db_user, db_password, db_host, db_port, db_name)",
                std::string(R"(Open a MySQL connection whose rows are dicts.

The connection, reads and writes give up after ZORVAN_DB_CONNECT_TIMEOUT seconds
(default 10).

)") + kLoginArgs + R"(
Returns:
    An open PyMySQL connection (the caller closes it), or None after printing
    "Failed to connect to the database: <error>".)",
                db::get_mysql_db_connection, py::arg("db_user"), py::arg("db_password"), py::arg("db_host"),
                py::arg("db_port"), py::arg("db_name"));
    zorvan::def(m, "get_pgdb_connection", "(db_user, db_password, db_host, db_port, db_name)",
                std::string(R"(Open a PostgreSQL connection.

The connection start-up gives up after ZORVAN_DB_CONNECT_TIMEOUT seconds (default 10).

)") + kLoginArgs + R"(
Returns:
    An open psycopg2 connection (the caller closes it), or None after printing
    "The error '<error>' occurred" for an operational error.

Raises:
    psycopg2.Error: any other error of the driver.)",
                db::get_pgdb_connection, py::arg("db_user"), py::arg("db_password"), py::arg("db_host"),
                py::arg("db_port"), py::arg("db_name"));

    zorvan::def(
        m, "execute_mysql_query", "(sql_query)",
        R"(Run one statement on MySQL with the current settings and commit it.

Args:
    sql_query: one SQL statement.

Returns:
    The fetched rows as dicts, or None after printing the failure ("An error
    occurred while executing the query: <error>"); a failed statement is rolled back.)",
        [module](py::object sql_query) { return db::execute_mysql_query(db::current_settings(module), sql_query); },
        py::arg("sql_query"));
    zorvan::def(
        m, "execute_pgdb_query", "(sql_query)",
        R"(Run one statement on PostgreSQL with the current settings and commit it.

Args:
    sql_query: one SQL statement.

Returns:
    The fetched rows as tuples when the statement yields rows, else None; also
    None after printing a failure (the statement is then rolled back).)",
        [module](py::object sql_query) { return db::execute_pgdb_query(db::current_settings(module), sql_query); },
        py::arg("sql_query"));

    zorvan::def(
        m, "get_sqlite_db_connection", "(db_name)",
        R"(Open an SQLite database file read-only.

Args:
    db_name: the database file.

Returns:
    An open sqlite3 connection that refuses every write (the caller closes it),
    or None after printing "Failed to connect to the database: <error>".)",
        [](py::object name) { return db::get_sqlite_db_connection(name); }, py::arg("db_name"));
    zorvan::def(
        m, "execute_sqlite_query", "(sql_query)",
        R"(Run one statement on the SQLite file named by db_name, read-only.

Args:
    sql_query: one SQL statement.

Returns:
    The fetched rows as tuples when the statement yields rows, else None; also
    None after printing a failure ("An error occurred while executing the query:
    <error>"), which is what any write gives.)",
        [module](py::object sql_query) { return db::execute_sqlite_query(db::current_settings(module), sql_query); },
        py::arg("sql_query"));
    zorvan::def(m, "get_sqlite_schema", "()",
                R"(List the tables of the SQLite file named by db_name with their columns.

Returns:
    {table: [{"name": column, "type": declared type}, ...]} in the file's order,
    or None when the file could not be opened (the failure is printed).)" +
                    std::string(kPartialSchema),
                [module]() { return db::get_sqlite_schema(db::current_settings(module)); });
    zorvan::def(m, "get_mysql_database_schema", "()",
                R"(List the tables of the configured MySQL database with their columns.

Returns:
    {table: [{"name": column, "type": type}, ...]} in the server's order, or
    None when no connection could be opened (the failure is printed).)" +
                    std::string(kPartialSchema),
                [module]() { return db::get_mysql_database_schema(db::current_settings(module)); });
    zorvan::def(m, "get_pgdb_schema", "()",
                R"(List the tables of the schema "public" of the configured PostgreSQL database.

Returns:
    {table: [{"name": column, "type": type}, ...]} in the server's order, or
    None when no connection could be opened (the failure is printed).)" +
                    std::string(kPartialSchema),
                [module]() { return db::get_pgdb_schema(db::current_settings(module)); });
}
