#include "table_check.hpp"

#include <algorithm>
#include <cctype>

#include "catalogue.hpp"
#include "refusal.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

std::string folded(std::string text, bool fold) {
    if (fold) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    return text;
}

py::list to_list(const std::vector<std::string>& names) {
    py::list out;
    for (const std::string& name : names) out.append(py::str(name));
    return out;
}

// On PostgreSQL an unqualified name is looked up in pg_catalog before the
// schema, and a function of the schema may take a call meant for a built-in.
void check_postgres_names(ReadOnlySession& session, const HandleConfig& config, const CheckedQuery& query,
                          const std::string& given) {
    std::vector<std::string> unqualified;
    for (const TableReference& table : query.tables) {
        if (!table.qualified) unqualified.push_back(table.name);
    }
    if (unqualified.empty() && query.functions.empty()) return;
    py::dict parameters;
    parameters["names"] = to_list(unqualified);
    parameters["functions"] = to_list(query.functions);
    parameters["schema"] = py::str(config.query_schema);
    py::object rows =
        session.execute(zorvan::imported(zorvan::dep::sqlalchemy_text)(
                            "SELECT 'table', c.relname FROM pg_catalog.pg_class c "
                            "WHERE c.relnamespace = 'pg_catalog'::regnamespace AND c.relname = ANY(:names) "
                            "UNION ALL SELECT 'function', p.proname FROM pg_catalog.pg_proc p "
                            "JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace "
                            "WHERE n.nspname = :schema AND p.proname = ANY(:functions)"),
                        parameters);
    for (py::handle row : rows.attr("fetchall")()) {
        const std::string kind = py::str(row[py::int_(0)]);
        const std::string name = py::str(row[py::int_(1)]);
        if (kind == "table") {
            raise_refusal({"the table " + name + ", whose name PostgreSQL resolves to a system catalog first",
                           "Name it with its schema, as " + config.query_schema + "." + name + "."},
                          given);
        }
        raise_refusal({"a call to " + name + "(), which the schema " + config.query_schema + " redefines",
                       "Rewrite the query without " + name + "()."},
                      given);
    }
}

}  // namespace

void check_tables(ReadOnlySession& session, const HandleConfig& config, const CheckedQuery& query,
                  const std::string& given) {
    const bool fold = config.kind == ServerKind::SQLite || config.kind == ServerKind::MSSQL;
    std::vector<std::string> names;
    for (const TableReference& table : query.tables) {
        if (std::find(names.begin(), names.end(), table.name) == names.end()) names.push_back(table.name);
    }
    if (!names.empty()) {
        const auto missing_from = [&](const std::vector<std::string>& found) {
            std::vector<std::string> missing;
            for (const std::string& name : names) {
                const bool usable = std::any_of(found.begin(), found.end(), [&](const std::string& table) {
                    return folded(table, fold) == folded(name, fold);
                });
                if (!usable) missing.push_back(name);
            }
            return missing;
        };
        std::vector<std::string> missing = missing_from(
            usable_tables(config, fold ? list_tables(session, config) : find_tables(session, config, names)));
        if (!missing.empty()) {
            // A lookup by name may miss a name that differs from another only
            // in case (MariaDB's information_schema); the whole list decides.
            const std::vector<std::string> offered = usable_tables(config, list_tables(session, config));
            missing = missing_from(offered);
            if (!missing.empty()) {
                const bool one = missing.size() == 1;
                raise_refusal({std::string(one ? "the table " : "the tables ") + name_list(missing) + ", which " +
                                   (one ? "is" : "are") + " not among the tables this assistant may query",
                               offered.empty() ? std::string("There are no tables to query.")
                                               : "Query only these tables: " + name_list(offered) + "."},
                              given);
            }
        }
    }
    if (config.kind == ServerKind::PostgreSQL) check_postgres_names(session, config, query, given);
}

}  // namespace zorvanai::custom_sql
