#include "catalogue.hpp"

#include <algorithm>
#include <set>

#include "catalogue_util.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

std::vector<std::string> list_tables(ReadOnlySession& session, const HandleConfig& config) {
    std::vector<std::string> names;
    switch (config.kind) {
        case ServerKind::PostgreSQL:
            names = first_column(
                session.execute(text_query("SELECT c.relname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace "
                                           "n ON n.oid = c.relnamespace WHERE n.nspname = " +
                                           postgres_schema(config) + " AND " + postgres_kinds(config)),
                                schema_parameters(config)));
            break;
        case ServerKind::MySQL:
        case ServerKind::MariaDB: {
            // SHOW FULL TABLES reads the table list without opening each
            // table, as information_schema.TABLES does on MariaDB.
            std::string sql = "SHOW FULL TABLES";
            if (!config.schema.is_none()) {
                sql += " FROM " + std::string(py::str(config.engine.attr("dialect")
                                                          .attr("identifier_preparer")
                                                          .attr("quote_identifier")(config.schema)));
            }
            const std::set<std::string> kinds = config.view_support
                                                    ? std::set<std::string>{"BASE TABLE", "SYSTEM VERSIONED", "VIEW"}
                                                    : std::set<std::string>{"BASE TABLE", "SYSTEM VERSIONED"};
            for (py::handle row : session.execute_text(sql).attr("fetchall")()) {
                if (kinds.count(name_text(row[py::int_(1)])) != 0) names.push_back(name_text(row[py::int_(0)]));
            }
            break;
        }
        case ServerKind::MSSQL:
            names = first_column(session.execute(
                text_query(std::string("SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = ") +
                           (config.schema.is_none() ? "SCHEMA_NAME()" : ":schema") +
                           " AND TABLE_TYPE IN ('BASE TABLE'" + (config.view_support ? ", 'VIEW'" : "") + ")"),
                schema_parameters(config)));
            break;
        default: {
            py::object inspector = zorvan::imported(zorvan::dep::sqlalchemy_inspect)(session.connection());
            for (py::handle name : inspector.attr("get_table_names")(py::arg("schema") = config.schema)) {
                names.push_back(name_text(name));
            }
            if (config.view_support) {
                for (py::handle name : inspector.attr("get_view_names")(py::arg("schema") = config.schema)) {
                    names.push_back(name_text(name));
                }
            }
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<std::string> find_tables(ReadOnlySession& session, const HandleConfig& config,
                                     const std::vector<std::string>& names) {
    if (names.empty()) return {};
    py::dict parameters = schema_parameters(config);
    parameters["names"] = to_list(names);
    std::vector<std::string> found;
    switch (config.kind) {
        case ServerKind::PostgreSQL:
            found = first_column(session.execute(
                text_query("SELECT c.relname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                           "ON n.oid = c.relnamespace WHERE n.nspname = " +
                           postgres_schema(config) + " AND " + postgres_kinds(config) + " AND c.relname = ANY(:names)"),
                parameters));
            break;
        case ServerKind::MySQL:
        case ServerKind::MariaDB:
            // Filtered by name, information_schema opens only these tables.
            found = first_column(session.execute(
                text_query_with_names(std::string("SELECT TABLE_NAME FROM information_schema.TABLES "
                                                  "WHERE TABLE_SCHEMA = ") +
                                      (config.schema.is_none() ? "DATABASE()" : ":schema") + " AND TABLE_TYPE IN " +
                                      mysql_types(config) + " AND TABLE_NAME IN :names"),
                parameters));
            break;
        case ServerKind::MSSQL:
            found = first_column(session.execute(
                text_query_with_names(
                    std::string("SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = ") +
                    (config.schema.is_none() ? "SCHEMA_NAME()" : ":schema") + " AND TABLE_TYPE IN ('BASE TABLE'" +
                    (config.view_support ? ", 'VIEW'" : "") + ") AND TABLE_NAME IN :names"),
                parameters));
            break;
        default: {
            const std::vector<std::string> all = list_tables(session, config);
            const std::set<std::string> wanted(names.begin(), names.end());
            for (const std::string& name : all) {
                if (wanted.count(name) != 0) found.push_back(name);
            }
        }
    }
    // Catalogues may compare names without regard to case; only exact names count.
    const std::set<std::string> wanted(names.begin(), names.end());
    found.erase(std::remove_if(found.begin(), found.end(),
                               [&wanted](const std::string& name) { return wanted.count(name) == 0; }),
                found.end());
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

std::vector<std::string> usable_tables(const HandleConfig& config, std::vector<std::string> tables) {
    const std::set<std::string> include = string_set(config.include_tables);
    const std::set<std::string> ignore = string_set(config.ignore_tables);
    tables.erase(std::remove_if(tables.begin(), tables.end(),
                                [&](const std::string& name) {
                                    return !include.empty() ? include.count(name) == 0 : ignore.count(name) != 0;
                                }),
                 tables.end());
    // UTF-8 byte order is code point order, the order Python sorts names in.
    std::sort(tables.begin(), tables.end());
    return tables;
}

}  // namespace zorvanai::custom_sql
