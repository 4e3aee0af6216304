// Database errors as the model should read them: the server's message,
// position and hint about the model's own query, never the statement that
// wrapped it (a cursor, the byte cut) or its internal names.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "handle_config.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct SentQuery {
    std::string query;  // the query as the model wrote it
    long offset = -1;   // where it starts in the sent text (characters), -1 when it was not sent whole
    py::object parameters = py::none();
};

// Re-raises a driver error (raw, or wrapped by SQLAlchemy) as the matching
// SQLAlchemy DBAPIError about `sent.query`; any other error unchanged.
[[noreturn]] void raise_query_error(py::error_already_set& error, const HandleConfig& config, const SentQuery& sent);

// The SQLAlchemy error for a query stopped at the time limit on the client
// side (SQLite).
[[noreturn]] void raise_time_limit(const HandleConfig& config, const std::string& query);

// The SQLAlchemy error for a server that stopped answering.
[[noreturn]] void raise_silent_server(const HandleConfig& config, const std::string& query);

}  // namespace zorvanai::custom_sql
