#include <pybind11/pybind11.h>

#include <map>

#include "database_class.hpp"
#include "privileges.hpp"
#include "refusal.hpp"
#include "sql_guard.hpp"
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
    py::module_::import("sqlglot");
    zorvan::import_langchain_community();
    m.attr("ReadOnlyQueryError") = sql::make_error_class(name);
    m.attr("PrivilegedLoginError") = sql::make_privilege_error_class(name);
    m.attr("CustomSQLDatabase") = sql::make_database_class(name);
    zorvan::def(m, "check_query", "(query, dialect, schema=None)",
                "Check a query as a handle checks it, without a server.\n\n"
                "The text must be exactly one query in the dialect, built only from reading\n"
                "clauses, built-in functions that compute values and casts to built-in types,\n"
                "whose tables are named without a qualifier or with ``schema``. Whether those\n"
                "tables are usable is decided by a handle, against its catalogue.\n\n"
                "Args:\n"
                "    query: the SQL text.\n"
                "    dialect: \"postgres\", \"mysql\", \"tsql\" or \"sqlite\".\n"
                "    schema: the schema (MySQL: database) a qualified table may name.\n\n"
                "Returns:\n"
                "    {\"statement\": the text that would be run, \"tables\": the tables it reads,\n"
                "    \"functions\": the functions it calls}.\n\n"
                "Raises:\n"
                "    ReadOnlyQueryError: the query is refused; its text says why and what to do.\n"
                "    ValueError: an unknown dialect.",
                &check_query, py::arg("query"), py::arg("dialect"), py::arg("schema") = py::none());
}
