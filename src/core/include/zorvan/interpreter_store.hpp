// Python objects that the package keeps between calls (imported classes and
// functions, classes it makes once, small caches) live in one dictionary per
// interpreter, held in the interpreter's own state dictionary. They are
// released when that interpreter is finalised; no C++ static holds a Python
// object, so nothing is destroyed after the interpreter has gone.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace zorvan {
namespace py = pybind11;

// The package's dictionary in the current interpreter. Requires the GIL.
py::dict interpreter_store();

// The object kept under `key` in this interpreter, made by `make` on first
// use. Requires the GIL.
py::object kept(const char* key, const std::function<py::object()>& make);

}  // namespace zorvan
