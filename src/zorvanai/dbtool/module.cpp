#include <pybind11/pybind11.h>

#include "config.hpp"
#include "connections.hpp"
#include "queries.hpp"
#include "schema.hpp"
#include "sqlite.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace db = zorvanai::dbtool;

PYBIND11_MODULE(dbtool, m) {
    m.doc() =
        "Direct access to a MySQL, PostgreSQL or SQLite database, outside the assistant.\n\n"
        "Connection settings come from the environment\n"
        "(db_user, db_password, db_host, db_name; db_port is 3306), a connection test for MySQL,\n"
        "PostgreSQL, SQL Server and SQLite, single statements and schema listings. Failures are\n"
        "printed as one line and give None (with ZORVAN_QUIET=1 the lines go to the logger\n"
        "\"zorvanai\" at DEBUG instead). For SQLite, db_name is the file, opened read-only.\n\n"
        "Module values: db_name, db_user, db_password, db_host, db_port (read by every call;\n"
        "replace them with set_database_config). There is no default account or password:\n"
        "an unset value is None, and no login is tried without a user name. Connections give\n"
        "up after ZORVAN_DB_CONNECT_TIMEOUT seconds (default 10) and send TCP keepalives;\n"
        "Ctrl-C stops a running statement on the server too.\n\n"
        "    from zorvanai import dbtool\n"
        "    dbtool.set_database_config(\"shop\", \"analyst\", \"secret\", \"localhost\", 5432)\n"
        "    print(dbtool.get_pgdb_schema())";
    db::load_config(m);

    // The functions keep the module so that they read its attributes at each
    // call; assignments to them (or set_database_config) take effect at once.
    py::module_ module = m;

    zorvan::def(
        m, "set_database_config", "(name, user, password, host, port)",
        "Replace the whole configuration of the query and schema functions.\n\n"
        "Args:\n    name: database name.\n    user: user name.\n    password: password.\n"
        "    host: host name or address.\n    port: port, an int.\n\n"
        "Raises:\n    ValueError: a text is None or port is not an int; nothing is changed.",
        [module](py::object name, py::object user, py::object password, py::object host, py::object port) mutable {
            db::set_database_config(module, name, user, password, host, port);
        },
        py::arg("name"), py::arg("user"), py::arg("password"), py::arg("host"), py::arg("port"));
    zorvan::def(m, "check_db_config_variables", "()",
                "Print whether every setting is usable.\n\n"
                "Returns:\n    The names (\"db_name\", \"db_user\", \"db_password\", \"db_host\", \"db_port\")\n"
                "    of the settings that are None or empty, in that order; [] when all are set.",
                [module]() { return db::check_db_config_variables(module); });

    zorvan::def(
        m, "get_db_connection", "(engine, db_user, db_password, db_host, db_port, db_name)",
        "Test a connection to a database; the configuration is not used.\n\n"
        "Args:\n    engine: \"MySQL\", \"PostgreSQL\", \"MsSQL\" or \"SQLite\" (exactly so).\n"
        "    db_user: user name.\n    db_password: password.\n    db_host: host name or address.\n"
        "    db_port: port.\n    db_name: database name; for SQLite the file (the other values\n"
        "        are not used).\n\n"
        "Returns:\n    \"Success! Connection Established! .\", \"Failed to connect to <engine>\n"
        "    database: <error>\" or \"Unsupported SQL engine specified.\"; never raises for a\n"
        "    failed connection.",
        [](py::object engine, py::object user, py::object password, py::object host, py::object port, py::object name) {
            return db::get_db_connection(engine, user, password, host, port, name);
        },
        py::arg("engine"), py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"),
        py::arg("db_name"));
    zorvan::def(
        m, "get_mysql_db_connection", "(db_user, db_password, db_host, db_port, db_name)",
        "Open a MySQL connection whose rows are dicts.\n\n"
        "The connection, reads and writes give up after ZORVAN_DB_CONNECT_TIMEOUT seconds\n"
        "(default 10).\n\n"
        "Args:\n    db_user: user name.\n    db_password: password.\n    db_host: host name or address.\n"
        "    db_port: port.\n    db_name: database name.\n\n"
        "Returns:\n    An open PyMySQL connection (the caller closes it), or None after printing\n"
        "    \"Failed to connect to the database: <error>\".",
        [](py::object user, py::object password, py::object host, py::object port, py::object name) {
            return db::get_mysql_db_connection(user, password, host, port, name);
        },
        py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"), py::arg("db_name"));
    zorvan::def(
        m, "get_pgdb_connection", "(db_user, db_password, db_host, db_port, db_name)",
        "Open a PostgreSQL connection.\n\n"
        "The connection start-up gives up after ZORVAN_DB_CONNECT_TIMEOUT seconds (default 10).\n\n"
        "Args:\n    db_user: user name.\n    db_password: password.\n    db_host: host name or address.\n"
        "    db_port: port.\n    db_name: database name.\n\n"
        "Returns:\n    An open psycopg2 connection (the caller closes it), or None after printing\n"
        "    \"The error '<error>' occurred\" for an operational error.\n\n"
        "Raises:\n    psycopg2.Error: any other error of the driver.",
        [](py::object user, py::object password, py::object host, py::object port, py::object name) {
            return db::get_pgdb_connection(user, password, host, port, name);
        },
        py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"), py::arg("db_name"));

    zorvan::def(
        m, "execute_mysql_query", "(sql_query)",
        "Run one statement on MySQL with the current settings and commit it.\n\n"
        "Args:\n    sql_query: one SQL statement.\n\n"
        "Returns:\n    The fetched rows as dicts, or None after printing the failure (\"An error\n"
        "    occurred while executing the query: <error>\"); a failed statement is rolled back.",
        [module](py::object sql_query) { return db::execute_mysql_query(db::current_settings(module), sql_query); },
        py::arg("sql_query"));
    zorvan::def(
        m, "execute_pgdb_query", "(sql_query)",
        "Run one statement on PostgreSQL with the current settings and commit it.\n\n"
        "Args:\n    sql_query: one SQL statement.\n\n"
        "Returns:\n    The fetched rows as tuples when the statement yields rows, else None; also\n"
        "    None after printing a failure (the statement is then rolled back).",
        [module](py::object sql_query) { return db::execute_pgdb_query(db::current_settings(module), sql_query); },
        py::arg("sql_query"));

    zorvan::def(
        m, "get_sqlite_db_connection", "(db_name)",
        "Open an SQLite database file read-only.\n\n"
        "Args:\n    db_name: the database file.\n\n"
        "Returns:\n    An open sqlite3 connection that refuses every write (the caller closes it),\n"
        "    or None after printing \"Failed to connect to the database: <error>\".",
        [](py::object name) { return db::get_sqlite_db_connection(name); }, py::arg("db_name"));
    zorvan::def(
        m, "execute_sqlite_query", "(sql_query)",
        "Run one statement on the SQLite file named by db_name, read-only.\n\n"
        "Args:\n    sql_query: one SQL statement.\n\n"
        "Returns:\n    The fetched rows as tuples when the statement yields rows, else None; also\n"
        "    None after printing a failure (\"An error occurred while executing the query:\n"
        "    <error>\"), which is what any write gives.",
        [module](py::object sql_query) { return db::execute_sqlite_query(db::current_settings(module), sql_query); },
        py::arg("sql_query"));
    zorvan::def(m, "get_sqlite_schema", "()",
                "List the tables of the SQLite file named by db_name with their columns.\n\n"
                "Returns:\n    {table: [{\"name\": column, \"type\": declared type}, ...]} in the file's order,\n"
                "    or None when the file could not be opened (the failure is printed). An error\n"
                "    while reading is printed as \"An error occurred: <error>\" and the tables read\n"
                "    so far are returned.",
                [module]() { return db::get_sqlite_schema(db::current_settings(module)); });
    zorvan::def(m, "get_mysql_database_schema", "()",
                "List the tables of the configured MySQL database with their columns.\n\n"
                "Returns:\n    {table: [{\"name\": column, \"type\": type}, ...]} in the server's order, or\n"
                "    None when no connection could be opened (the failure is printed). An error\n"
                "    while reading is printed as \"An error occurred: <error>\" and the tables read\n"
                "    so far are returned.",
                [module]() { return db::get_mysql_database_schema(db::current_settings(module)); });
    zorvan::def(m, "get_pgdb_schema", "()",
                "List the tables of the schema \"public\" of the configured PostgreSQL database.\n\n"
                "Returns:\n    {table: [{\"name\": column, \"type\": type}, ...]} in the server's order, or\n"
                "    None when no connection could be opened (the failure is printed). An error\n"
                "    while reading is printed as \"An error occurred: <error>\" and the tables read\n"
                "    so far are returned.",
                [module]() { return db::get_pgdb_schema(db::current_settings(module)); });
}
