#include "zorvan/signed.hpp"

#include <Python.h>

#include <deque>
#include <set>
#include <stdexcept>

#include "zorvan/python_names.hpp"

namespace zorvan {
namespace detail {

std::string signed_doc(const std::string& name, const std::string& params, const std::string& doc) {
    if (params.empty() || params.front() != '(' || params.back() != ')') {
        throw std::invalid_argument("parameter list of " + name + " must be written in parentheses");
    }
    return name + params + "\n--\n\n" + doc;
}

std::string internal_name(const std::string& name) {
    if (name == "__init__" || name == "__setstate__") return "_zorvan" + name;
    return name;
}

namespace {

// The call of every plain built-in: its module object holds the target.
PyObject* call_target(PyObject* holder, PyObject* args, PyObject* kwargs) {
    PyObject* target = PyObject_GetAttrString(holder, "target");
    if (target == nullptr) return nullptr;
    PyObject* result = PyObject_Call(target, args, kwargs);
    Py_DECREF(target);
    return result;
}

}  // namespace

py::object plain_builtin(const std::string& name, const std::string& text, py::object target) {
    // A built-in function keeps a bare pointer to its definition and texts,
    // so they live as long as the process (plain C++ data: nothing to release
    // after the interpreter). Set nodes and deque elements never move. Only
    // called with the GIL held.
    static std::set<std::string> kept_texts;
    static std::deque<PyMethodDef> definitions;
    const char* kept_name = kept_texts.insert(name).first->c_str();
    const char* kept_doc = kept_texts.insert(text).first->c_str();
    PyMethodDef* definition = &definitions.emplace_back(
        PyMethodDef{kept_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_target)),
                    METH_VARARGS | METH_KEYWORDS, kept_doc});
    py::object holder = imported(dep::types_ModuleType)(name);
    holder.attr("target") = target;
    PyObject* function = PyCFunction_NewEx(definition, holder.ptr(), nullptr);
    if (function == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(function);
}

py::object make_instance_method(py::handle function) {
    PyObject* method = PyInstanceMethod_New(function.ptr());
    if (method == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(method);
}

}  // namespace detail

ClassBuilder::ClassBuilder(std::string name, const std::string& module_name, py::handle bases)
    : name_(std::move(name)),
      bases_(py::isinstance<py::tuple>(bases) ? py::reinterpret_borrow<py::tuple>(bases)
                                              : py::make_tuple(py::reinterpret_borrow<py::object>(bases))) {
    if (bases_.empty()) throw std::invalid_argument("class " + name_ + " needs at least one base");
    namespace_["__module__"] = py::str(module_name);
    namespace_["__qualname__"] = py::str(name_);
}

ClassBuilder& ClassBuilder::doc(const std::string& text) {
    namespace_["__doc__"] = py::str(text);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const std::string& name, py::object value) {
    namespace_[py::str(name)] = std::move(value);
    return *this;
}

py::object ClassBuilder::build(py::kwargs metaclass_kwargs) {
    py::object metaclass = py::type::of(bases_[0]);
    py::object cls = metaclass(py::str(name_), bases_, namespace_, **metaclass_kwargs);
    // inspect.signature(cls) skips built-in __init__ functions; give the
    // class the signature of its C++ __init__ without self.
    if (namespace_.contains("__init__")) {
        py::object init = namespace_["__init__"].attr("__func__");
        py::object signature = imported(dep::inspect_signature)(init);
        py::list parameters(signature.attr("parameters").attr("values")());
        py::list without_self;
        for (std::size_t i = 1; i < parameters.size(); ++i) without_self.append(parameters[i]);
        py::setattr(cls, "__signature__", signature.attr("replace")(py::arg("parameters") = without_self));
    }
    return cls;
}

}  // namespace zorvan
