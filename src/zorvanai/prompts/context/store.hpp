// The user's context text and custom instructions, kept in "context.json"
// in the working directory. Module values live in the module's own
// namespace so that Python sees them change; the functions read them there
// at every call.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::context {
namespace py = pybind11;

// Establishes FILE_PATH, default_values, values, context_prompt and
// custom_instructions on `m` (reading the file once, never creating it).
void load(py::module_ m);

py::object read_values(py::module_ m);
void write_values(py::module_ m, py::object values);
void set_context(py::module_ m, py::object new_context);
void set_instructions(py::module_ m, py::object new_instructions);
void instruct_agent(py::module_ m, py::object context, py::object instructions);
py::dict check_instructions(py::module_ m);

}  // namespace zorvanai::context
