// One pooled connection held for one piece of work, inside a transaction
// that the server keeps read-only and time-limited and that is always rolled
// back. The settings that the query check relies on are pinned when the
// connection is taken (PostgreSQL: standard strings, the search path;
// MySQL/MariaDB: the SQL mode) and checked; when it is given back the
// session is reset, so nothing that one question set reaches the next.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "handle_config.hpp"
#include "zorvan/watched_work.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

class ReadOnlySession {
public:
    // Checks a connection out of the engine's pool and begins the
    // transaction. `select_limit` caps the rows a MySQL/MariaDB server sends
    // for a top-level SELECT. With `watch`, each statement is a watched step
    // and the connection's stoppers are published to it.
    explicit ReadOnlySession(const HandleConfig& config, zorvan::WorkWatch* watch = nullptr,
                             std::optional<long> select_limit = std::nullopt);
    ~ReadOnlySession();
    ReadOnlySession(const ReadOnlySession&) = delete;
    ReadOnlySession& operator=(const ReadOnlySession&) = delete;

    const py::object& connection() const { return connection_; }

    // The driver's own connection (psycopg2, mysql-connector, ...).
    py::object driver_connection() const;

    // Runs SQL text exactly as given: no bind-parameter or percent-sign
    // processing. `options` are SQLAlchemy execution options.
    py::object execute_text(const std::string& sql, const py::dict& options = py::dict());

    // Runs a SQLAlchemy statement object with bound `parameters` (dict or None).
    py::object execute(const py::object& statement, const py::object& parameters, const py::dict& options = py::dict());

    // Marks the start of a blocking step done on the driver connection directly.
    void step();

    // After a failed statement (which aborts a PostgreSQL transaction): rolls
    // back and begins a fresh read-only transaction on the same connection.
    void restart();

    // The connection is closed instead of going back to the pool.
    void discard() { discard_ = true; }

    // SQLite runs in this process: its statements are stopped by a progress
    // handler at the time limit or at Ctrl-C. After a statement failed:
    // raises KeyboardInterrupt when Ctrl-C stopped it; true when the time
    // limit did.
    bool stopped_at_time_limit();

private:
    void begin();
    void begin_postgres();
    void begin_mysql();
    void reset() noexcept;
    void finish() noexcept;
    void watch_sqlite();

    struct SqliteStop {
        std::chrono::steady_clock::time_point deadline;
        bool limited = false;
        bool timed_out = false;
        std::optional<py::error_already_set> interrupt;
    };

    const HandleConfig& config_;
    zorvan::WorkWatch* watch_;
    std::optional<long> select_limit_;
    py::object connection_;
    py::object saved_driver_timeout_;
    bool session_variables_set_ = false;
    bool discard_ = false;
    std::shared_ptr<SqliteStop> sqlite_stop_;
};

}  // namespace zorvanai::custom_sql
