#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::qa_graph {
namespace py = pybind11;

// Adds the thirteen nodes, the fixed edges and the conditional edges to
// `sql_graph.graph` (a StateGraph) and returns the compiled graph. The node
// objects are made here, once, from the graph's database handle and chat
// clients.
py::object assemble_and_compile(py::handle sql_graph);

}  // namespace zorvanai::qa_graph
