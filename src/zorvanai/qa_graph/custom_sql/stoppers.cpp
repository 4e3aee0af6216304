#include "stoppers.hpp"

#include <chrono>
#include <string>
#include <thread>

namespace zorvanai::custom_sql {

namespace {

// The descriptor of the driver connection's socket, or -1.
int socket_fd(const py::object& driver, ServerKind kind) {
    try {
        if (kind == ServerKind::PostgreSQL) return driver.attr("fileno")().cast<int>();
        if (py::hasattr(driver, "_socket")) return driver.attr("_socket").attr("sock").attr("fileno")().cast<int>();
        if (py::hasattr(driver, "_sock")) return driver.attr("_sock").attr("fileno")().cast<int>();
    } catch (py::error_already_set&) {
    }
    return -1;
}

long mysql_session_id(const py::object& driver) {
    if (py::hasattr(driver, "connection_id")) return driver.attr("connection_id").cast<long>();
    return driver.attr("thread_id")().cast<long>();
}

// KILL QUERY from a second connection (the first is busy), then waits until
// the server no longer runs a statement for that session.
void kill_query(const py::object& engine, long session_id) {
    py::object raw = engine.attr("raw_connection")();
    try {
        py::object cursor = raw.attr("cursor")();
        const std::string id = std::to_string(session_id);
        cursor.attr("execute")("KILL QUERY " + id);
        for (int i = 0; i < 30; ++i) {
            cursor.attr("execute")("SELECT COMMAND FROM information_schema.PROCESSLIST WHERE ID = " + id);
            py::object row = cursor.attr("fetchone")();
            if (row.is_none() || std::string(py::str(row[py::int_(0)])) == "Sleep") break;
            py::gil_scoped_release released;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        cursor.attr("close")();
    } catch (...) {
        raw.attr("close")();
        throw;
    }
    raw.attr("close")();
}

}  // namespace

void publish_stoppers(zorvan::WorkWatch& watch, const HandleConfig& config, const py::object& driver_connection) {
    const int fd = socket_fd(driver_connection, config.kind);
    // Whatever the engine's own connect arguments, the connection notices a
    // server that vanished.
    zorvan::keep_alive(fd);
    std::function<void()> cut_off = [fd] { zorvan::shut_down_socket(fd); };
    if (fd < 0) cut_off = nullptr;
    std::function<void()> cancel;
    if (config.kind == ServerKind::PostgreSQL && py::hasattr(driver_connection, "cancel")) {
        cancel = [driver_connection] { driver_connection.attr("cancel")(); };
    } else if (is_mysql_family(config.kind)) {
        const long id = mysql_session_id(driver_connection);
        py::object engine = config.engine;
        cancel = [engine, id] { kill_query(engine, id); };
    }
    watch.set_stoppers(std::move(cancel), std::move(cut_off));
}

}  // namespace zorvanai::custom_sql
