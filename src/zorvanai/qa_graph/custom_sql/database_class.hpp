#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::custom_sql {
namespace py = pybind11;

// `CustomSQLDatabase`: a subclass of LangChain's SQLDatabase (so its SQL
// tools accept it) whose work is read-only, time-limited, row-capped and lazy.
py::object make_database_class(const std::string& module_name);

}  // namespace zorvanai::custom_sql
