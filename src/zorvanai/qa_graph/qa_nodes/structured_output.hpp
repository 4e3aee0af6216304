// StructuredOutput: a chat model made to answer with a pydantic record,
// falling back from JSON-schema output to JSON mode to reading plain text.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::qa_nodes {
namespace py = pybind11;

py::object make_structured_output(const std::string& module_name);

}  // namespace zorvanai::qa_nodes
