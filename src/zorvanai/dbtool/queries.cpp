#include "queries.hpp"

#include "connections.hpp"
#include "pycall.hpp"

namespace zorvanai::dbtool {

namespace {
py::object report_query_error(const py::object& error) {
    print_line(format("An error occurred while executing the query: {}", error));
    return py::none();
}

void rollback_quietly(const py::object& connection) noexcept {
    if (!connection || connection.is_none()) return;
    try {
        connection.attr("rollback")();
    } catch (...) {
        // A connection that cannot roll back is closed next, and the server
        // discards the open transaction then.
    }
}

// Runs `body` (which may open the connection into `connection`), then closes
// the connection if one was opened. An error from that last close reaches
// the caller.
template <typename Body>
py::object with_connection(py::object& connection, Body&& body) {
    py::object result;
    try {
        result = body();
    } catch (...) {
        close_quietly(connection);
        throw;
    }
    if (connection && !connection.is_none()) connection.attr("close")();
    return result;
}
}  // namespace

py::object execute_mysql_query(const Settings& settings, const py::object& sql_query) {
    py::object connection = py::none();
    return with_connection(connection, [&]() -> py::object {
        return catch_errors(
            [&]() -> py::object {
                connection = get_mysql_db_connection(settings.user, settings.password, settings.host, settings.port,
                                                     settings.name);
                if (connection.is_none()) return py::none();
                py::object cursor = connection.attr("cursor")();
                py::object rows = closing(cursor, [&]() -> py::object {
                    cursor.attr("execute")(sql_query);
                    return cursor.attr("fetchall")();
                });
                // Without it a data change would be dropped when the
                // connection closes, although the call looked successful.
                connection.attr("commit")();
                return rows;
            },
            [&](const py::object& error) {
                rollback_quietly(connection);
                return report_query_error(error);
            });
    });
}

py::object execute_pgdb_query(const Settings& settings, const py::object& sql_query) {
    py::object connection = py::none();
    return with_connection(connection, [&]() -> py::object {
        return catch_errors(
            [&]() -> py::object {
                connection =
                    get_pgdb_connection(settings.user, settings.password, settings.host, settings.port, settings.name);
                if (connection.is_none()) return py::none();
                py::object cursor = connection.attr("cursor")();
                py::object rows = closing(cursor, [&]() -> py::object {
                    cursor.attr("execute")(sql_query);
                    // Whether rows came back is the server's word, not a
                    // guess from the statement's first keyword (WITH ...,
                    // INSERT ... RETURNING, lower case after blanks).
                    if (cursor.attr("description").is_none()) return py::none();
                    return cursor.attr("fetchall")();
                });
                connection.attr("commit")();
                return rows;
            },
            [&](const py::object& error) {
                rollback_quietly(connection);
                return report_query_error(error);
            });
    });
}

}  // namespace zorvanai::dbtool
