// Running one checked query: the text is checked, the tables it reads are
// checked against the catalogue, and the rows are read in the same pass that
// counts those left out, with long values cut on the server.
#pragma once

#include <pybind11/pybind11.h>

#include "handle_config.hpp"
#include "result_text.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

enum class FetchMode { All, One, Cursor };

// "all", "one" or "cursor"; ValueError otherwise.
FetchMode parse_fetch(const py::object& fetch);

RenderOptions render_options(const HandleConfig& config, FetchMode mode, bool include_columns);

// Checks `command` (raising ReadOnlyQueryError when refused), runs it in a
// read-only session and reads at most the row cap within the byte budget.
// KeyboardInterrupt stops it on the server too.
FetchedRows fetch_rows(const HandleConfig& config, const py::object& command, const py::object& parameters,
                       const py::object& execution_options, const RenderOptions& options);

}  // namespace zorvanai::custom_sql
