// The code tool's sandboxed session: model-written code runs in a worker
// process that keeps its definitions between runs, isolated and limited.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::codetool {
namespace py = pybind11;

// The Sandbox class (run, close, context manager) and its hidden state type.
py::object make_sandbox_class(py::module_& m, const py::object& script_error);

}  // namespace zorvanai::codetool
