#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::qa_graph {
namespace py = pybind11;

// The typed mapping that travels through the question-answering graph: its
// 25 keys in order, with the merge rule of each (operator.concat for the
// collected lists, operator.add for the attempt counters, replace for the
// rest). `module_name` becomes its __module__.
py::object make_sql_state(const std::string& module_name);

}  // namespace zorvanai::qa_graph
