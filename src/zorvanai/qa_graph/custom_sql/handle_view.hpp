// What other parts of the package may know of a handle: its server, the
// schema its queries run in, its usable tables and how to reach its
// catalogue. A value, read from the handle when asked for; nothing in it
// changes the handle.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "handle_config.hpp"
#include "sql_guard.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct HandleView {
    std::string server;          // "postgresql", "mysql", "mariadb", "mssql", "sqlite" or "other"
    std::string dialect;         // sqlglot's dialect name ("" for its generic SQL)
    std::string schema;          // the schema (MySQL: database) every query runs in and may name
    double statement_timeout{};  // seconds; 0 means no limit
    std::vector<std::string> usable_tables;
    py::object engine;  // the SQLAlchemy engine, for catalogue reads
};

// The view of the handle `self` (one catalogue query for its usable tables).
HandleView view_of(py::handle self);

// How the query check reads queries of a handle with this configuration.
GuardContext guard_context(const HandleConfig& config);

}  // namespace zorvanai::custom_sql
