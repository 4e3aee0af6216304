#include "namespace.hpp"

#include <string>
#include <utility>

#include "zorvan/python_names.hpp"

namespace zorvanai::codetool {

ModuleNamespace::ModuleNamespace(py::dict globals) : globals_(std::move(globals)) {}

py::object ModuleNamespace::lookup(const char* name) const {
    if (globals_.contains(name)) return globals_[name];
    py::module_ builtins = zorvan::imported_module(zorvan::dep::builtins_module);
    if (py::hasattr(builtins, name)) return builtins.attr(name);
    PyErr_SetString(PyExc_NameError, ("name '" + std::string(name) + "' is not defined").c_str());
    throw py::error_already_set();
}

void ModuleNamespace::assign(const char* name, py::object value) const {
    globals_[name] = std::move(value);
}

}  // namespace zorvanai::codetool
