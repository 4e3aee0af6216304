// The compiled question-answering graph that answers one question per run.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::qa_graph {
namespace py = pybind11;

// Builds the `SQLGraph` class of the module `module_name` (which must also
// hold `SQLState` by the time an instance is made).
py::object make_sql_graph_class(const std::string& module_name);

}  // namespace zorvanai::qa_graph
