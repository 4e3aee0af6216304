#include "schema.hpp"

#include "connections.hpp"
#include "pycall.hpp"
#include "zorvan/python_names.hpp"

namespace zorvanai::dbtool {

namespace {
using namespace pybind11::literals;

constexpr const char* kPgTablesQuery = R"(
                SELECT table_name
                FROM information_schema.tables
                WHERE table_schema = 'public'
            )";

// Only the public table's own columns: a same-named table in another schema
// must not contribute its columns.
constexpr const char* kPgColumnsQuery = R"(
                    SELECT column_name, data_type
                    FROM information_schema.columns
                    WHERE table_schema = 'public' AND table_name = %s
                    ORDER BY ordinal_position
                )";

void report_schema_error(const py::object& error) {
    print_line(format("An error occurred: {}", error));
}

py::dict column_record(const py::handle& name, const py::handle& type) {
    return py::dict("name"_a = name, "type"_a = type);
}

// Reads with `read(cursor, schema)` on a new cursor of `connection`, then closes
// the connection. The schema gathered so far is returned after an error.
template <typename MakeCursor, typename Read>
py::object read_schema(const py::object& connection, MakeCursor&& make_cursor, Read&& read) {
    py::dict schema_info;
    closing(connection, [&]() -> py::object {
        catch_errors(
            [&]() -> py::object {
                py::object cursor = make_cursor();
                return closing(cursor, [&]() -> py::object {
                    read(cursor, schema_info);
                    return py::none();
                });
            },
            [](const py::object& error) -> py::object {
                report_schema_error(error);
                return py::none();
            });
        return py::none();
    });
    return std::move(schema_info);
}
}  // namespace

std::string quoted_identifier(const std::string& name, char quote) {
    std::string quoted(1, quote);
    for (char c : name) {
        quoted += c;
        if (c == quote) quoted += quote;
    }
    return quoted + quote;
}

std::string mysql_identifier(const std::string& name) {
    return quoted_identifier(name, '`');
}

py::object get_mysql_database_schema(const Settings& settings) {
    py::object connection =
        get_mysql_db_connection(settings.user, settings.password, settings.host, settings.port, settings.name);
    if (connection.is_none()) return py::none();
    return read_schema(
        connection, [&] { return connection.attr("cursor")(); },
        [](const py::object& cursor, py::dict& schema_info) {
            cursor.attr("execute")("SHOW TABLES");
            for (py::handle row : cursor.attr("fetchall")()) {
                // The column is named after the database, so take it by
                // position.
                py::object table_name = py::iter(row.attr("values")()).attr("__next__")();
                py::list columns;
                schema_info[table_name] = columns;
                cursor.attr("execute")("SHOW COLUMNS FROM " + mysql_identifier(py::str(table_name)));
                for (py::handle column : cursor.attr("fetchall")()) {
                    columns.append(column_record(column["Field"], column["Type"]));
                }
            }
        });
}

py::object get_pgdb_schema(const Settings& settings) {
    bool failed = false;
    py::object connection = catch_errors(
        [&]() -> py::object {
            return get_pgdb_connection(settings.user, settings.password, settings.host, settings.port, settings.name);
        },
        [&](const py::object& error) -> py::object {
            // Not an operational error: reported like a reading error, with
            // an empty schema as the result.
            report_schema_error(error);
            failed = true;
            return py::none();
        });
    if (failed) return py::dict();
    if (connection.is_none()) return py::none();
    return read_schema(
        connection,
        [&] {
            py::object dict_cursor = zorvan::imported(zorvan::dep::psycopg2_extras_DictCursor);
            return connection.attr("cursor")("cursor_factory"_a = dict_cursor);
        },
        [](const py::object& cursor, py::dict& schema) {
            cursor.attr("execute")(kPgTablesQuery);
            for (py::handle row : cursor.attr("fetchall")()) {
                py::object table_name = row["table_name"];
                py::list columns;
                schema[table_name] = columns;
                cursor.attr("execute")(kPgColumnsQuery, py::list(py::make_tuple(table_name)));
                for (py::handle column : cursor.attr("fetchall")()) {
                    columns.append(column_record(column["column_name"], column["data_type"]));
                }
            }
        });
}

}  // namespace zorvanai::dbtool
