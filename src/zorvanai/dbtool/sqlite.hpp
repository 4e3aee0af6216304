// SQLite, next to MySQL and PostgreSQL: the configured database name is the
// file, which is always opened read-only.
#pragma once

#include <pybind11/pybind11.h>

#include "config.hpp"

namespace zorvanai::dbtool {
namespace py = pybind11;

// A read-only sqlite3 connection to the file `db_name`, or None after
// printing "Failed to connect to the database: <error>".
py::object get_sqlite_db_connection(const py::object& db_name);

// Connects without printing; errors propagate (for the connection test).
py::object connect_sqlite(const py::object& db_name);

// Rows as tuples when the statement yields rows, else None; None after
// printing a failure (writes fail: the file is read-only).
py::object execute_sqlite_query(const Settings& settings, const py::object& sql_query);

// {table: [{"name": ..., "type": ...}, ...]} in the file's order, or None
// when the file cannot be opened.
py::object get_sqlite_schema(const Settings& settings);

}  // namespace zorvanai::dbtool
