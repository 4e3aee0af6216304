#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::qa_graph {
namespace py = pybind11;

// Draws `compiled_graph`: as text on standard output when
// `visualization_type` is exactly "ascii", otherwise as a picture rendered
// by the remote Mermaid service and saved to `save_graph_path`. Errors
// (service unreachable, bytes that are no picture, unwritable path) reach
// the caller; nothing is written unless the picture was rendered.
void visualize(py::handle compiled_graph, py::handle visualization_type, py::handle save_graph_path);

}  // namespace zorvanai::qa_graph
