#include "sqlite.hpp"

#include "connections.hpp"
#include "pycall.hpp"
#include "schema.hpp"
#include "zorvan/python_names.hpp"

namespace zorvanai::dbtool {

namespace {
using namespace pybind11::literals;

constexpr const char* kTablesQuery =
    "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'";

}  // namespace

py::object connect_sqlite(const py::object& db_name) {
    py::module_ os = zorvan::imported_module(zorvan::dep::os_module);
    if (db_name.is_none()) throw py::value_error("no SQLite database file is configured (db_name)");
    py::object path = os.attr("path").attr("abspath")(os.attr("fspath")(db_name));
    if (!py::bool_(os.attr("path").attr("isfile")(path))) {
        throw py::value_error("no SQLite database file at " + std::string(py::str(path)));
    }
    // mode=ro: SQLite itself refuses every write to the file.
    const std::string uri =
        "file:" + std::string(py::str(zorvan::imported(zorvan::dep::urllib_parse_quote)(path))) + "?mode=ro";
    return zorvan::imported(zorvan::dep::sqlite3_connect)(uri, "uri"_a = true, "timeout"_a = connect_timeout_seconds());
}

py::object get_sqlite_db_connection(const py::object& db_name) {
    return catch_errors([&]() -> py::object { return connect_sqlite(db_name); },
                        [](const py::object& error) -> py::object {
                            print_line(format("Failed to connect to the database: {}", error));
                            return py::none();
                        });
}

py::object execute_sqlite_query(const Settings& settings, const py::object& sql_query) {
    py::object connection = get_sqlite_db_connection(settings.name);
    if (connection.is_none()) return py::none();
    return closing(connection, [&]() -> py::object {
        return catch_errors(
            [&]() -> py::object {
                py::object cursor = connection.attr("execute")(sql_query);
                if (cursor.attr("description").is_none()) return py::none();
                return cursor.attr("fetchall")();
            },
            [](const py::object& error) -> py::object {
                print_line(format("An error occurred while executing the query: {}", error));
                return py::none();
            });
    });
}

py::object get_sqlite_schema(const Settings& settings) {
    py::object connection = get_sqlite_db_connection(settings.name);
    if (connection.is_none()) return py::none();
    py::dict schema_info;
    closing(connection, [&]() -> py::object {
        catch_errors(
            [&]() -> py::object {
                for (py::handle row : connection.attr("execute")(kTablesQuery).attr("fetchall")()) {
                    py::object table_name = row[py::int_(0)];
                    py::list columns;
                    schema_info[table_name] = columns;
                    const std::string pragma = "PRAGMA table_info(" + quoted_identifier(py::str(table_name), '"') + ")";
                    for (py::handle column : connection.attr("execute")(pragma).attr("fetchall")()) {
                        columns.append(py::dict("name"_a = column[py::int_(1)], "type"_a = column[py::int_(2)]));
                    }
                }
                return py::none();
            },
            [](const py::object& error) -> py::object {
                print_line(format("An error occurred: {}", error));
                return py::none();
            });
        return py::none();
    });
    return std::move(schema_info);
}

}  // namespace zorvanai::dbtool
