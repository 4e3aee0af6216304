#include "zorvan/pyutil.hpp"

#include <chrono>

namespace zorvan {

py::object import_attr(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

std::string type_name(py::handle value) {
    return py::str(py::type::of(value).attr("__name__"));
}

void require_mapping(py::handle value, const char* argument) {
    if (PyDict_Check(value.ptr())) return;
    static const char* const abc = "collections.abc";
    if (py::isinstance(value, import_attr(abc, "Mapping"))) return;
    throw py::type_error(std::string(argument) + " must be a mapping, not " + type_name(value));
}

std::string float_repr(double value) {
    return py::repr(py::float_(value));
}

double wall_time() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace zorvan
