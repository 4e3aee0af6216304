#include "zorvan/imports.hpp"

#include <string>

#include "zorvan/interpreter_store.hpp"

namespace zorvan {

py::module_ imported_module(const PythonName& name) {
    if (name.attribute == nullptr && name.lookup == Lookup::each_use) return py::module_::import(name.module);
    const std::string key = std::string("module:") + name.module;
    return py::reinterpret_borrow<py::module_>(kept(key.c_str(), [&name] { return py::module_::import(name.module); }));
}

py::object imported(const PythonName& name) {
    py::module_ module = imported_module(name);
    if (name.attribute == nullptr) return std::move(module);
    if (name.lookup == Lookup::each_use) return module.attr(name.attribute);
    const std::string key = std::string("name:") + name.module + "." + name.attribute;
    return kept(key.c_str(), [&module, &name] { return module.attr(name.attribute); });
}

}  // namespace zorvan
