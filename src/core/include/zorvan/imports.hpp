// How the package reaches Python: every module and attribute it uses is
// declared once, as a `PythonName` in python_names.hpp, and resolved through
// `imported`: the module is imported once per interpreter and kept in the
// interpreter store (released when the interpreter is finalised), and so is
// the attribute, unless it is declared to be read at each use (a value that
// changes, such as sys.stdout, or an optional driver that may be replaced).
#pragma once

#include <pybind11/pybind11.h>

namespace zorvan {
namespace py = pybind11;

enum class Lookup { once, each_use };

struct PythonName {
    const char* module;
    const char* attribute;  // nullptr: the module itself
    Lookup lookup = Lookup::once;
};

// The object `name` stands for. Requires the GIL.
py::object imported(const PythonName& name);

// The module of `name`, imported once per interpreter. Requires the GIL.
py::module_ imported_module(const PythonName& name);

}  // namespace zorvan
