#include "zorvan/explicit_signature.hpp"

#include <memory>

#include "zorvan/python_names.hpp"
#include "zorvan/signed.hpp"

namespace zorvan {
namespace {

constexpr const char* kSharedKey = "zorvanai.method_with_signature.v1";
constexpr const char* kFunctionKey = "_cpp_function";

py::object build_descriptor_class() {
    ClassBuilder builder("_MethodWithSignature", "zorvanai", imported(dep::builtins_object));
    builder.doc("A method implemented in C++ that carries an explicit signature.")
        .method(
            "__call__", "(self, /, *args, **kwargs)", "Bind the arguments to the signature and call the method.",
            [](py::object self, py::args args, py::kwargs kwargs) -> py::object {
                py::dict own = self.attr("__dict__");
                py::object bound = own["__signature__"].attr("bind")(*args, **kwargs);
                bound.attr("apply_defaults")();
                py::tuple positional = bound.attr("args");
                py::dict keywords = bound.attr("kwargs");
                return own[kFunctionKey](*positional, **keywords);
            },
            py::arg("self"), py::pos_only())
        .method(
            "__get__", "(self, instance, owner=None, /)", "Bound method when read through an instance.",
            [](py::object self, py::object instance, py::object) -> py::object {
                if (instance.is_none()) return self;
                return imported(dep::types_MethodType)(self, instance);
            },
            py::arg("self"), py::arg("instance"), py::arg("owner") = py::none(), py::pos_only())
        .method(
            "__repr__", "(self)", "Like a function's repr.",
            [](py::object self) { return "<function " + std::string(py::str(self.attr("__qualname__"))) + ">"; },
            py::arg("self"));
    return builder.build();
}

py::object descriptor_class() {
    // One class per process, shared by every module that links the core
    // library; kept until the process ends, like the classes it serves.
    void* shared = py::get_shared_data(kSharedKey);
    if (shared != nullptr) return *static_cast<py::object*>(shared);
    auto kept = std::make_unique<py::object>(build_descriptor_class());
    py::object cls = *kept;
    py::set_shared_data(kSharedKey, kept.release());
    return cls;
}

}  // namespace

SignatureBuilder::SignatureBuilder() : return_annotation_(empty()) {}

py::object SignatureBuilder::empty() {
    return imported(dep::inspect_Parameter).attr("empty");
}

SignatureBuilder& SignatureBuilder::param(const std::string& name, py::object default_value, py::object annotation) {
    py::object parameter_class = imported(dep::inspect_Parameter);
    parameters_.append(parameter_class(name, parameter_class.attr("POSITIONAL_OR_KEYWORD"),
                                       py::arg("default") = default_value, py::arg("annotation") = annotation));
    return *this;
}

SignatureBuilder& SignatureBuilder::returns(py::object annotation) {
    return_annotation_ = std::move(annotation);
    return *this;
}

py::object SignatureBuilder::build() const {
    return imported(dep::inspect_Signature)(parameters_, py::arg("return_annotation") = return_annotation_);
}

py::object method_with_signature(const std::string& name, const std::string& class_qualname,
                                 const std::string& module_name, const std::string& doc, py::object function,
                                 py::object signature) {
    py::object method = descriptor_class()();
    py::setattr(method, kFunctionKey, function);
    py::setattr(method, "__signature__", signature);
    py::setattr(method, "__name__", py::str(name));
    py::setattr(method, "__qualname__", py::str(class_qualname + "." + name));
    py::setattr(method, "__module__", py::str(module_name));
    py::setattr(method, "__doc__", py::str(doc));
    return method;
}

}  // namespace zorvan
