#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>

#include "database_class.hpp"
#include "handle_view.hpp"
#include "privileges.hpp"
#include "refusal.hpp"
#include "sql_guard.hpp"
#include "zorvan/errors.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace sql = zorvanai::custom_sql;

namespace {

sql::GuardDialect dialect_named(const std::string& name) {
    static const std::map<std::string, sql::GuardDialect> names = {
        {"postgres", sql::GuardDialect::Postgres}, {"postgresql", sql::GuardDialect::Postgres},
        {"mysql", sql::GuardDialect::MySQL},       {"mariadb", sql::GuardDialect::MySQL},
        {"tsql", sql::GuardDialect::TSQL},         {"mssql", sql::GuardDialect::TSQL},
        {"sqlite", sql::GuardDialect::SQLite}};
    auto found = names.find(name);
    if (found == names.end()) {
        throw py::value_error("dialect must be postgres, mysql, tsql or sqlite (or postgresql, mariadb, mssql), not '" +
                              name + "'");
    }
    return found->second;
}

py::dict check_query(const std::string& query, const std::string& dialect, const py::object& schema) {
    const sql::GuardContext context{dialect_named(dialect),
                                    schema.is_none() ? std::string() : std::string(py::str(schema))};
    const sql::CheckedQuery checked = sql::check_query(query, context);
    if (checked.refusal) sql::raise_refusal(*checked.refusal, query);
    py::dict result;
    result["statement"] = py::str(checked.statement);
    py::list tables;
    for (const sql::TableReference& table : checked.tables) tables.append(py::str(table.name));
    py::list functions;
    for (const std::string& name : checked.functions) functions.append(py::str(name));
    result["tables"] = tables;
    result["functions"] = functions;
    return result;
}

}  // namespace

PYBIND11_MODULE(custom_sql, m) {
    m.doc() = "The database handle of the assistant: checked, read-only, time-limited, bounded and lazy.";
    const std::string name = py::str(m.attr("__name__"));
    // The query check's parser is loaded with the module, not by the first
    // query.
    zorvan::imported_module(zorvan::dep::sqlglot_module);
    zorvan::import_langchain_community();
    m.attr("ReadOnlyQueryError") = zorvan::error_class(zorvan::ErrorKind::RefusedQuery);
    m.attr("PrivilegedLoginError") = zorvan::error_class(zorvan::ErrorKind::PrivilegedLogin);
    py::options options;
    options.disable_function_signatures();
    py::class_<sql::HandleView>(m, "HandleView",
                                "What the rest of the package may know of a handle (``handle.view``); read-only.")
        .def(py::init([](std::string server, std::string dialect, std::string schema, double statement_timeout,
                         std::vector<std::string> usable_tables, py::object engine) {
                 return sql::HandleView{std::move(server), std::move(dialect),       std::move(schema),
                                        statement_timeout, std::move(usable_tables), std::move(engine)};
             }),
             R"(__init__(self, server, dialect, schema, statement_timeout, usable_tables, engine)
--

Hold what a handle tells of itself (handles make their own: ``handle.view``).

Args:
    server: "postgresql", "mysql", "mariadb", "mssql", "sqlite" or "other".
    dialect: sqlglot's name of the dialect.
    schema: the schema (MySQL: database) every query runs in.
    statement_timeout: seconds a statement may run (0: no limit).
    usable_tables: the tables a query may read.
    engine: the SQLAlchemy engine.)",
             py::arg("server"), py::arg("dialect"), py::arg("schema"), py::arg("statement_timeout"),
             py::arg("usable_tables"), py::arg("engine"))
        .def_readonly("server", &sql::HandleView::server,
                      "\"postgresql\", \"mysql\", \"mariadb\", \"mssql\", \"sqlite\" or \"other\".")
        .def_readonly("dialect", &sql::HandleView::dialect, "sqlglot's name of the dialect (\"\" for generic SQL).")
        .def_readonly("schema", &sql::HandleView::schema, "The schema (MySQL: database) every query runs in.")
        .def_readonly("statement_timeout", &sql::HandleView::statement_timeout,
                      "Seconds a statement may run (0: no limit).")
        .def_property_readonly(
            "usable_tables", [](const sql::HandleView& view) { return py::tuple(py::cast(view.usable_tables)); },
            "The tables a query may read, in the catalogue's order.")
        .def_readonly("engine", &sql::HandleView::engine, "The SQLAlchemy engine, for catalogue reads.")
        .def(
            "__repr__",
            [](const sql::HandleView& view) {
                return "HandleView(server=" + view.server + ", schema=" + view.schema + ", " +
                       std::to_string(view.usable_tables.size()) + " usable tables)";
            },
            "__repr__(self)\n--\n\nShow the server, the schema and how many tables are usable.");
    m.attr("CustomSQLDatabase") = sql::make_database_class(name);
    zorvan::def(m, "check_query", "(query, dialect, schema=None)",
                R"(Check a query as a handle checks it, without a server.

The text must be exactly one query in the dialect, built only from reading
clauses, built-in functions that compute values and casts to built-in types,
whose tables are named without a qualifier or with ``schema``. Whether those
tables are usable is decided by a handle, against its catalogue.

Args:
    query: the SQL text.
    dialect: "postgres", "mysql", "tsql" or "sqlite".
    schema: the schema (MySQL: database) a qualified table may name.

Returns:
    {"statement": the text that would be run, "tables": the tables it reads,
    "functions": the functions it calls}.

Raises:
    ReadOnlyQueryError: the query is refused; its text says why and what to do.
    ValueError: an unknown dialect.)",
                &check_query, py::arg("query"), py::arg("dialect"), py::arg("schema") = py::none());
}
