// How a running query is stopped from another thread: PostgreSQL's cancel
// request, MySQL/MariaDB's KILL QUERY from a second connection, and as a
// last resort the connection's socket shut down.
#pragma once

#include <pybind11/pybind11.h>

#include "handle_config.hpp"
#include "zorvan/watched_work.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

// Publishes the stoppers of `driver_connection` (a connection of the handle's
// engine) to `watch`, and makes its socket send TCP keepalives.
void publish_stoppers(zorvan::WorkWatch& watch, const HandleConfig& config, const py::object& driver_connection);

}  // namespace zorvanai::custom_sql
