// The entry node, the routing conditions and the two error handlers.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::qa_nodes {
namespace py = pybind11;

// The pandas correction budget used when the caller gives none.
constexpr long kMaxIterationsPandas = 3;

// Defines initialisation, the six conditions, handle_sql_error and
// handle_pandas_error on `m`.
void add_routing(py::module_& m);

}  // namespace zorvanai::qa_nodes
