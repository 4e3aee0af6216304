// One pooled connection held for one piece of work, inside a transaction
// that the server keeps read-only and time-limited, and that is always
// rolled back.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "handle_config.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

class ReadOnlySession {
public:
    // Checks a connection out of the engine's pool and begins the
    // transaction. `select_limit` caps the rows a MySQL/MariaDB server sends
    // for a top-level SELECT (other servers stop at the cursor instead).
    explicit ReadOnlySession(const HandleConfig& config, std::optional<long> select_limit = std::nullopt);
    ~ReadOnlySession();
    ReadOnlySession(const ReadOnlySession&) = delete;
    ReadOnlySession& operator=(const ReadOnlySession&) = delete;

    const py::object& connection() const { return connection_; }

    // Runs SQL text exactly as given: no bind-parameter or percent-sign
    // processing. `options` are SQLAlchemy execution options.
    py::object execute_text(const std::string& sql, const py::dict& options = py::dict());

    // Runs a SQLAlchemy statement object with bound `parameters` (dict or None).
    py::object execute(const py::object& statement, const py::object& parameters, const py::dict& options = py::dict());

    // After a failed statement (which aborts a PostgreSQL transaction): rolls
    // back and begins a fresh read-only transaction on the same connection.
    void restart();

private:
    void begin();
    void begin_postgres(double timeout);
    void finish() noexcept;

    const HandleConfig& config_;
    std::optional<long> select_limit_;
    py::object connection_;
    py::object saved_driver_timeout_;
    bool session_variables_set_ = false;
};

}  // namespace zorvanai::custom_sql
