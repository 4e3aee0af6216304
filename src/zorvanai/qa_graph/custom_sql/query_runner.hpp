// Running one checked query: at most a cap of rows is read, the rest is
// counted on the server, and the rows are rendered as text.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "handle_config.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

enum class FetchMode { All, One };

// "all" or "one"; ValueError otherwise ("cursor" cannot outlive the
// read-only transaction).
FetchMode parse_fetch(const py::object& fetch);

// The SQL text of `command`: a str as given, a SQLAlchemy statement compiled
// for the handle's dialect with its values inlined; TypeError otherwise.
std::string command_text(const HandleConfig& config, const py::object& command);

struct FetchedRows {
    py::list rows;                      // SQLAlchemy Row objects, at most the cap
    bool more = false;                  // the result has rows beyond the cap
    std::optional<long long> left_out;  // how many, when the server counted them
};

// Checks `command` (raising ReadOnlyQueryError when refused), runs it in a
// read-only session and reads at most max_rows rows (one row for One).
FetchedRows fetch_rows(const HandleConfig& config, const py::object& command, const py::object& parameters,
                       const py::object& execution_options, FetchMode mode);

// Python's str() of the rows as tuples (or dicts with `include_columns`),
// string values cut to `max_string_length`; "" for no rows. A result cut at
// the cap ends with a line saying how many rows were left out.
std::string render_rows(const FetchedRows& fetched, bool include_columns, long max_string_length, long cap);

// The rows as dicts of column name to value.
py::list rows_as_dicts(const FetchedRows& fetched);

}  // namespace zorvanai::custom_sql
