// Small conversions and checks that several modules share.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvan {
namespace py = pybind11;

// `module.name`, imported at the call.
py::object import_attr(const char* module, const char* name);

// The Python type name of `value`, for error messages.
std::string type_name(py::handle value);

// Raises TypeError("<argument> must be a mapping, not <type>") unless
// `value` is a mapping (dict or collections.abc.Mapping).
void require_mapping(py::handle value, const char* argument);

// Python's repr() of a float: the shortest text that reads back the same.
std::string float_repr(double value);

// Seconds since the epoch, as Python's time.time() gives them.
double wall_time();

// Raises the Python exception class `type` with `message` (for exception
// classes that are themselves Python objects, such as SQLAlchemyError).
[[noreturn]] void raise_error(py::handle type, const std::string& message);

// A new exception class `name` deriving from `base`, for `module_name`.
py::object make_exception_class(const std::string& name, const std::string& module_name, py::handle base,
                                const std::string& doc);

}  // namespace zorvan
