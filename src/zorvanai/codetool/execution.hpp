// Running Python source in the module's own namespace with its output captured.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "namespace.hpp"

namespace zorvanai::codetool {

// Parses `code`, runs it with the module namespace as globals and locals and
// returns what the calling thread printed meanwhile. Errors of the code reach
// the caller; standard output is restored on every path.
std::string execute_code(const ModuleNamespace& ns, const py::object& code);

}  // namespace zorvanai::codetool
