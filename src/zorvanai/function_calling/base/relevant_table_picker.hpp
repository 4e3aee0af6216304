#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::function_calling {
namespace py = pybind11;

// Name of the function that the model is made to call.
constexpr const char* kPickToolName = "select_relevant_tables";

// Builds the `RelevantTablePicker` class (a LangChain Runnable) of the
// module `module_name`.
py::object make_relevant_table_picker_class(const std::string& module_name);

}  // namespace zorvanai::function_calling
