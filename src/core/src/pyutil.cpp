#include "zorvan/pyutil.hpp"

#include <chrono>

namespace zorvan {

py::object import_attr(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

void import_langchain_community() {
    py::module_ warnings = py::module_::import("warnings");
    py::object scope = warnings.attr("catch_warnings")();
    scope.attr("__enter__")();
    try {
        warnings.attr("filterwarnings")("ignore", py::arg("message") = "`langchain-community` is being sunset",
                                        py::arg("category") = py::handle(PyExc_DeprecationWarning));
        py::module_::import("langchain_community");
    } catch (...) {
        scope.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    scope.attr("__exit__")(py::none(), py::none(), py::none());
}

std::string type_name(py::handle value) {
    return py::str(py::type::of(value).attr("__name__"));
}

std::string exception_text(const py::handle& exception) {
    std::string message;
    try {
        message = py::str(exception);
    } catch (py::error_already_set&) {
        message = "<exception str() failed>";
    }
    return type_name(exception) + ": " + message;
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

void raise_error(py::handle type, const std::string& message) {
    PyErr_SetObject(type.ptr(), py::str(message).ptr());
    throw py::error_already_set();
}

py::object make_exception_class(const std::string& name, const std::string& module_name, py::handle base,
                                const std::string& doc) {
    py::dict ns;
    ns["__module__"] = py::str(module_name);
    ns["__doc__"] = py::str(doc);
    ns["__qualname__"] = py::str(name);
    return py::type::of(base)(py::str(name), py::make_tuple(base), ns);
}

py::str utf8_text(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

double wall_time() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace zorvan

namespace zorvan {

py::object make_configure_hook(const char* name) {
    py::object variable = import_attr("contextvars", "ContextVar")(name, py::arg("default") = py::none());
    import_attr("langchain_core.tracers.context", "register_configure_hook")(variable, true);
    return variable;
}

HookScope::HookScope(py::object variable, py::object handler) : variable_(std::move(variable)) {
    token_ = variable_.attr("set")(handler);
}

HookScope::~HookScope() {
    try {
        variable_.attr("reset")(token_);
    } catch (py::error_already_set&) {
        // Resetting a context variable from the context that set it cannot fail.
    }
}

}  // namespace zorvan
