// The relevant-table picker: a Runnable that makes the chat model call one
// function whose argument names the tables a question needs.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::function_calling {
namespace py = pybind11;

// Builds the `RelevantTablePicker` class (a LangChain Runnable) of the
// module `module_name`.
py::object make_relevant_table_picker_class(const std::string& module_name);

}  // namespace zorvanai::function_calling
