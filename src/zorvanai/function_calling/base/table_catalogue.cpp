#include "table_catalogue.hpp"

#include <cmath>
#include <map>

#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::function_calling {
namespace {

// Some MySQL drivers hand catalogue texts back as bytes.
std::string as_text(py::handle value) {
    if (py::isinstance<py::bytes>(value) || py::isinstance<py::bytearray>(value))
        return value.attr("decode")("utf-8").cast<std::string>();
    return py::str(value).cast<std::string>();
}

// Closes the connection on every path.
class Connection {
public:
    explicit Connection(py::handle engine) : connection_(engine.attr("connect")()) {}
    ~Connection() {
        try {
            connection_.attr("rollback")();
            connection_.attr("close")();
        } catch (py::error_already_set&) {
            // The connection is unusable already; the pool discards it.
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    py::list rows(const std::string& sql, py::handle schema) {
        py::dict params;
        params["schema"] = schema;
        return connection_.attr("execute")(zorvan::imported(zorvan::dep::sqlalchemy_text)(sql), params)
            .attr("fetchall")();
    }
    void execute(const std::string& sql) {
        connection_.attr("execute")(zorvan::imported(zorvan::dep::sqlalchemy_text)(sql));
    }

private:
    py::object connection_;
};

TableCatalogue from_rows(const py::list& columns, const py::list& links) {
    std::map<std::string, std::vector<std::string>> by_table;
    for (auto row : columns) {
        auto& table = by_table[as_text(row[py::int_(0)])];
        py::object column = row[py::int_(1)];
        if (!column.is_none()) table.push_back(as_text(column));
    }
    TableCatalogue catalogue;
    for (auto& [name, table_columns] : by_table) catalogue.tables.push_back({name, std::move(table_columns)});
    for (auto row : links) catalogue.links.push_back({as_text(row[py::int_(0)]), as_text(row[py::int_(1)])});
    return catalogue;
}

TableCatalogue read_postgres(py::handle engine, py::handle schema, long long limit_ms) {
    Connection connection(engine);
    connection.execute("SET LOCAL statement_timeout = " + std::to_string(limit_ms));
    const char* in_schema = "n.nspname = COALESCE(CAST(:schema AS text), current_schema())";
    py::list columns =
        connection.rows(std::string("SELECT c.relname, a.attname FROM pg_catalog.pg_class c "
                                    "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                                    "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 "
                                    "AND NOT a.attisdropped WHERE c.relkind IN ('r', 'p', 'v', 'm', 'f') AND ") +
                            in_schema + " ORDER BY c.relname, a.attnum",
                        schema);
    py::list links = connection.rows(std::string("SELECT c.relname, r.relname FROM pg_catalog.pg_constraint k "
                                                 "JOIN pg_catalog.pg_class c ON c.oid = k.conrelid "
                                                 "JOIN pg_catalog.pg_class r ON r.oid = k.confrelid "
                                                 "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                                                 "WHERE k.contype = 'f' AND r.relnamespace = c.relnamespace AND ") +
                                         in_schema,
                                     schema);
    return from_rows(columns, links);
}

TableCatalogue read_mysql(py::handle engine, py::handle schema, long long limit_ms, bool mariadb) {
    // A per-statement limit leaves the pooled session's settings alone.
    const std::string select =
        mariadb ? "SET STATEMENT max_statement_time = " + std::to_string(static_cast<double>(limit_ms) / 1000.0) +
                      " FOR SELECT "
                : "SELECT /*+ MAX_EXECUTION_TIME(" + std::to_string(limit_ms) + ") */ ";
    Connection connection(engine);
    py::list columns = connection.rows(select +
                                           "TABLE_NAME, COLUMN_NAME FROM information_schema.COLUMNS "
                                           "WHERE TABLE_SCHEMA = COALESCE(:schema, DATABASE()) "
                                           "ORDER BY TABLE_NAME, ORDINAL_POSITION",
                                       schema);
    py::list links = connection.rows(select +
                                         "TABLE_NAME, REFERENCED_TABLE_NAME FROM information_schema.KEY_COLUMN_USAGE "
                                         "WHERE TABLE_SCHEMA = COALESCE(:schema, DATABASE()) "
                                         "AND REFERENCED_TABLE_NAME IS NOT NULL "
                                         "AND REFERENCED_TABLE_SCHEMA = TABLE_SCHEMA",
                                     schema);
    return from_rows(columns, links);
}

TableCatalogue read_inspector(py::handle engine, py::handle schema) {
    py::object inspector = zorvan::imported(zorvan::dep::sqlalchemy_inspect)(engine);
    py::dict columns = inspector.attr("get_multi_columns")(py::arg("schema") = schema);
    py::dict links = inspector.attr("get_multi_foreign_keys")(py::arg("schema") = schema);
    TableCatalogue catalogue;
    for (auto [key, value] : columns) {
        TableColumns table{as_text(key.cast<py::tuple>()[1]), {}};
        for (auto column : value) table.columns.push_back(as_text(column["name"]));
        catalogue.tables.push_back(std::move(table));
    }
    for (auto [key, value] : links) {
        const std::string table = as_text(key.cast<py::tuple>()[1]);
        for (auto link : value) catalogue.links.push_back({table, as_text(link["referred_table"])});
    }
    return catalogue;
}

}  // namespace

TableCatalogue read_catalogue(py::handle engine, py::handle schema, double time_limit_seconds) {
    if (!(time_limit_seconds > 0.0) || !std::isfinite(time_limit_seconds))
        throw py::value_error("time_limit must be a positive number of seconds");
    const auto limit_ms = static_cast<long long>(std::ceil(time_limit_seconds * 1000.0));
    py::object dialect = engine.attr("dialect");
    const std::string name = py::str(dialect.attr("name"));
    if (name == "postgresql") return read_postgres(engine, schema, limit_ms);
    if (name == "mysql" || name == "mariadb")
        return read_mysql(engine, schema, limit_ms, py::bool_(py::getattr(dialect, "is_mariadb", py::bool_(false))));
    return read_inspector(engine, schema);
}

}  // namespace zorvanai::function_calling
