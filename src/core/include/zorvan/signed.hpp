// Callables written in C++ that look like ordinary Python functions and
// methods: each carries a real signature (inspect.signature works on it,
// bound or not), and classes can be built on pure-Python bases such as
// LangChain's Runnable or pydantic's BaseModel.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "zorvan/python_names.hpp"

namespace zorvan {
namespace py = pybind11;

namespace detail {
// CPython derives __text_signature__ from a docstring that begins with
// "name(params)\n--\n\n"; the name has to match the function's own name.
std::string signed_doc(const std::string& name, const std::string& params, const std::string& doc);

// pybind11 treats any function named __init__ or __setstate__ as one of its
// own constructors; such names are built under a stand-in name (the plain
// built-in around it carries the real one).
std::string internal_name(const std::string& name);

py::object make_instance_method(py::handle function);

// A built-in function named `name` (with `text` as its docstring, so that a
// leading "name(params)\n--\n\n" gives its signature) that calls `target`.
// pybind11's own functions are bound to an internal record object, which
// help() would show as "method of pybind11_builtins.pybind11_detail_... instance";
// this one is bound to a plain module object and reads as a function.
py::object plain_builtin(const std::string& name, const std::string& text, py::object target);
}  // namespace detail

// A function with the Python parameter list `params` (for example
// "(self, state, **kwargs)"). Defaults in `params` must be None, numbers,
// strings or booleans; `extra` are pybind11 annotations such as py::arg.
template <typename Func, typename... Extra>
py::object signed_function(const std::string& name, const std::string& params, const std::string& doc, Func&& f,
                           const Extra&... extra) {
    py::options options;
    options.disable_function_signatures();
    const std::string built_name = detail::internal_name(name);
    const std::string text = detail::signed_doc(name, params, doc);
    py::cpp_function function(std::forward<Func>(f), py::name(built_name.c_str()), py::doc(text.c_str()), extra...);
    return detail::plain_builtin(name, text, function);
}

// Defines `name` on module `m` as a signed function.
template <typename Func, typename... Extra>
void def(py::module_& m, const std::string& name, const std::string& params, const std::string& doc, Func&& f,
         const Extra&... extra) {
    py::object function = signed_function(name, params, doc, std::forward<Func>(f), extra...);
    py::setattr(function, "__module__", m.attr("__name__"));
    m.attr(name.c_str()) = function;
}

// Collects a class namespace and creates the class through its base's
// metaclass, so that abstract-method bookkeeping (ABCMeta) and model
// construction (pydantic) see the C++ methods as part of the class body.
class ClassBuilder {
public:
    // `module_name` becomes the class's __module__; `bases` is one class or
    // a tuple of classes.
    ClassBuilder(std::string name, const std::string& module_name, py::handle bases);

    ClassBuilder& doc(const std::string& text);
    ClassBuilder& attr(const std::string& name, py::object value);

    // `params` includes self: "(self, state, **kwargs)".
    template <typename Func, typename... Extra>
    ClassBuilder& method(const std::string& name, const std::string& params, const std::string& doc, Func&& f,
                         const Extra&... extra) {
        auto function = signed_function(name, params, doc, std::forward<Func>(f), extra...);
        return attr(name, detail::make_instance_method(function));
    }

    // `params` includes cls: "(cls, database_uri, engine_args=None, **kwargs)".
    template <typename Func, typename... Extra>
    ClassBuilder& classmethod(const std::string& name, const std::string& params, const std::string& doc, Func&& f,
                              const Extra&... extra) {
        auto function = signed_function(name, params, doc, std::forward<Func>(f), extra...);
        return attr(name, imported(dep::builtins_classmethod)(function));
    }

    template <typename Func, typename... Extra>
    ClassBuilder& staticmethod(const std::string& name, const std::string& params, const std::string& doc, Func&& f,
                               const Extra&... extra) {
        auto function = signed_function(name, params, doc, std::forward<Func>(f), extra...);
        return attr(name, imported(dep::builtins_staticmethod)(function));
    }

    // A read-only property computed by `getter(self)`.
    template <typename Func>
    ClassBuilder& property(const std::string& name, const std::string& doc, Func&& getter) {
        auto function = signed_function(name, "(self)", doc, std::forward<Func>(getter), py::arg("self"));
        return attr(name, imported(dep::builtins_property)(function, py::none(), py::none(), doc));
    }

    // Creates the class (the caller binds it to a module name); extra keyword
    // arguments go to the metaclass call.
    py::object build(py::kwargs metaclass_kwargs = py::kwargs());

private:
    std::string name_;
    py::tuple bases_;
    py::dict namespace_;
};

}  // namespace zorvan
