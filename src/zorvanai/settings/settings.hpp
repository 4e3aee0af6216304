#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::settings {
namespace py = pybind11;

// Builds one deployment settings record class (`AzureOpenAIChat35` or
// `AzureOpenAIChat4`) for the module `module_name`.
py::object make_settings_class(const char* class_name, const char* role, const std::string& module_name);

}  // namespace zorvanai::settings
