#include <pybind11/pybind11.h>

#include "config.hpp"
#include "connections.hpp"
#include "queries.hpp"
#include "schema.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace db = zorvanai::dbtool;

PYBIND11_MODULE(dbtool, m) {
    m.doc() =
        "Direct access to a MySQL or PostgreSQL database: connection settings from the environment\n"
        "(db_user, db_password, db_host, db_name; db_port is 3306), a connection test for MySQL,\n"
        "PostgreSQL and SQL Server, single statements and schema listings. Failures are printed as\n"
        "one line and give None.";
    db::load_config(m);

    // The functions keep the module so that they read its attributes at each
    // call; assignments to them (or set_database_config) take effect at once.
    py::module_ module = m;

    zorvan::def(
        m, "set_database_config", "(name, user, password, host, port)",
        "Replace the whole configuration. ValueError when a text is None or port is not an int.",
        [module](py::object name, py::object user, py::object password, py::object host, py::object port) mutable {
            db::set_database_config(module, name, user, password, host, port);
        },
        py::arg("name"), py::arg("user"), py::arg("password"), py::arg("host"), py::arg("port"));
    zorvan::def(m, "check_db_config_variables", "()",
                "Print whether every setting is usable; return the names of those that are None or empty.",
                [module]() { return db::check_db_config_variables(module); });

    zorvan::def(
        m, "get_db_connection", "(engine, db_user, db_password, db_host, db_port, db_name)",
        "Test a connection to \"MySQL\", \"PostgreSQL\" or \"MsSQL\"; return a text telling how it went.",
        [](py::object engine, py::object user, py::object password, py::object host, py::object port, py::object name) {
            return db::get_db_connection(engine, user, password, host, port, name);
        },
        py::arg("engine"), py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"),
        py::arg("db_name"));
    zorvan::def(
        m, "get_mysql_db_connection", "(db_user, db_password, db_host, db_port, db_name)",
        "An open PyMySQL connection with dict rows (the caller closes it), or None after printing why.",
        [](py::object user, py::object password, py::object host, py::object port, py::object name) {
            return db::get_mysql_db_connection(user, password, host, port, name);
        },
        py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"), py::arg("db_name"));
    zorvan::def(
        m, "get_pgdb_connection", "(db_user, db_password, db_host, db_port, db_name)",
        "An open psycopg2 connection (the caller closes it), or None after printing an operational error.",
        [](py::object user, py::object password, py::object host, py::object port, py::object name) {
            return db::get_pgdb_connection(user, password, host, port, name);
        },
        py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"), py::arg("db_name"));

    zorvan::def(
        m, "execute_mysql_query", "(sql_query)",
        "Run one statement on MySQL with the current settings and commit it; return the rows as dicts,\n"
        "or None after printing the failure.",
        [module](py::object sql_query) { return db::execute_mysql_query(db::current_settings(module), sql_query); },
        py::arg("sql_query"));
    zorvan::def(
        m, "execute_pgdb_query", "(sql_query)",
        "Run one statement on PostgreSQL with the current settings and commit it; return the rows as\n"
        "tuples when it yields any, else None (also after printing a failure).",
        [module](py::object sql_query) { return db::execute_pgdb_query(db::current_settings(module), sql_query); },
        py::arg("sql_query"));

    zorvan::def(m, "get_mysql_database_schema", "()",
                "The tables of the configured MySQL database, each with its columns' names and types.",
                [module]() { return db::get_mysql_database_schema(db::current_settings(module)); });
    zorvan::def(m, "get_pgdb_schema", "()",
                "The tables of the schema \"public\" of the configured PostgreSQL database, each with its\n"
                "columns' names and types.",
                [module]() { return db::get_pgdb_schema(db::current_settings(module)); });
}
