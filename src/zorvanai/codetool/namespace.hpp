// The module's global namespace as its functions see it.
//
// Executed code runs in this very mapping and may rebind anything in it
// (python_executable, os, even install_defaults), so the functions look every
// such name up at each call, as Python code of the module would.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::codetool {
namespace py = pybind11;

class ModuleNamespace {
public:
    explicit ModuleNamespace(py::dict globals);

    // The module's value of `name`, else the built-in of that name; NameError
    // as Python raises it when neither exists.
    py::object lookup(const char* name) const;

    void assign(const char* name, py::object value) const;

    const py::dict& globals() const { return globals_; }

private:
    py::dict globals_;
};

}  // namespace zorvanai::codetool
