#include "queries.hpp"

#include "connections.hpp"
#include "pycall.hpp"
#include "zorvan/watched_work.hpp"

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

// Runs `body(watch)` on a worker thread, so that Ctrl-C on the calling
// thread stops the statement on the server too (see publish_*_stoppers).
template <typename Body>
py::object interruptible(Body&& body) {
    zorvan::WorkWatch watch;
    return zorvan::run_watched(watch, 0, [&]() -> py::object { return body(watch); });
}

int socket_of(const py::object& sock) {
    try {
        return sock.attr("fileno")().cast<int>();
    } catch (py::error_already_set&) {
        return -1;
    }
}

// A running PyMySQL statement is stopped by KILL QUERY from a second
// connection with the same settings.
void publish_mysql_stoppers(zorvan::WorkWatch& watch, const Settings& settings, const py::object& connection) {
    const long session = connection.attr("thread_id")().cast<long>();
    const int fd = py::hasattr(connection, "_sock") ? socket_of(connection.attr("_sock")) : -1;
    const Settings copy = settings;
    watch.set_stoppers(
        [copy, session] {
            py::object killer = get_mysql_db_connection(copy.user, copy.password, copy.host, copy.port, copy.name);
            if (killer.is_none()) return;
            closing(killer, [&]() -> py::object {
                py::object cursor = killer.attr("cursor")();
                cursor.attr("execute")("KILL QUERY " + std::to_string(session));
                cursor.attr("close")();
                return py::none();
            });
        },
        [fd] { zorvan::shut_down_socket(fd); });
}

void publish_postgres_stoppers(zorvan::WorkWatch& watch, const py::object& connection) {
    const int fd = socket_of(connection);
    watch.set_stoppers([connection] { connection.attr("cancel")(); }, [fd] { zorvan::shut_down_socket(fd); });
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
// Opens a connection with `connect` (None: the failure is already printed),
// runs `run(cursor)` on a cursor of it and commits. A failure is printed and
// rolled back; the connection is closed on every path. On a worker thread,
// with `publish` telling how Ctrl-C stops the statement on the server.
template <typename Connect, typename Publish, typename Run>
py::object run_statement(Connect&& connect, Publish&& publish, Run&& run) {
    return interruptible([&](zorvan::WorkWatch& watch) -> py::object {
        py::object connection = py::none();
        return with_connection(connection, [&]() -> py::object {
            return catch_errors(
                [&]() -> py::object {
                    connection = connect();
                    if (connection.is_none()) return py::none();
                    publish(watch, connection);
                    py::object cursor = connection.attr("cursor")();
                    py::object rows = closing(cursor, [&]() -> py::object { return run(cursor); });
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
    });
}
}  // namespace

py::object execute_mysql_query(const Settings& settings, const py::object& sql_query) {
    return run_statement(
        [&] {
            return get_mysql_db_connection(settings.user, settings.password, settings.host, settings.port,
                                           settings.name);
        },
        [&](zorvan::WorkWatch& watch, const py::object& connection) {
            publish_mysql_stoppers(watch, settings, connection);
        },
        [&](const py::object& cursor) -> py::object {
            cursor.attr("execute")(sql_query);
            return cursor.attr("fetchall")();
        });
}

py::object execute_pgdb_query(const Settings& settings, const py::object& sql_query) {
    return run_statement(
        [&] {
            return get_pgdb_connection(settings.user, settings.password, settings.host, settings.port, settings.name);
        },
        [](zorvan::WorkWatch& watch, const py::object& connection) { publish_postgres_stoppers(watch, connection); },
        [&](const py::object& cursor) -> py::object {
            cursor.attr("execute")(sql_query);
            // Whether rows came back is the server's word, not a guess from
            // the statement's first keyword (WITH ..., INSERT ... RETURNING,
            // lower case after blanks).
            if (cursor.attr("description").is_none()) return py::none();
            return cursor.attr("fetchall")();
        });
}

}  // namespace zorvanai::dbtool
