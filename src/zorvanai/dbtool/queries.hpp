// Running one SQL statement on a connection of its own, opened from the
// module configuration and closed before returning.
#pragma once

#include <pybind11/pybind11.h>

#include "config.hpp"

namespace zorvanai::dbtool {
namespace py = pybind11;

// Rows as dicts (the driver's result for other statements), or None after
// printing the failure. A successful statement is committed.
py::object execute_mysql_query(const Settings& settings, const py::object& sql_query);

// Rows as tuples when the statement yields a result set, else None; None
// after printing a failure. A successful statement is committed, a failed one
// rolled back.
py::object execute_pgdb_query(const Settings& settings, const py::object& sql_query);

}  // namespace zorvanai::dbtool
