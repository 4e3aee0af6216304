// Methods written in C++ whose Python signature is an explicit
// inspect.Signature rather than a text signature.
//
// CPython's text signatures (see signed.hpp) only spell None, numbers,
// strings and booleans as defaults and carry no annotations. A method whose
// parameter list needs more (a list default such as tags=["qa_graph"],
// annotations such as Optional[int]) is made here as a descriptor object:
// it carries the signature as __signature__, binds every call against it
// (defaults applied, Python's own argument errors), forwards the complete
// argument list to the C++ function, and becomes a bound method when read
// through an instance, just as a Python function does.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace zorvan {
namespace py = pybind11;

// Builds an inspect.Signature parameter by parameter.
class SignatureBuilder {
public:
    SignatureBuilder();

    // A positional-or-keyword parameter; `default_value` and `annotation`
    // may be left as inspect.Parameter.empty (the default).
    SignatureBuilder& param(const std::string& name, py::object default_value = empty(),
                            py::object annotation = empty());
    SignatureBuilder& returns(py::object annotation);
    py::object build() const;

    // inspect.Parameter.empty: "no default" / "no annotation".
    static py::object empty();

private:
    py::list parameters_;
    py::object return_annotation_;
};

// A method named `name` of the class `qualname_prefix` whose signature
// `signature` includes the instance parameter first. `function` (usually a
// pybind11 cpp_function with a py::arg for every parameter) is called with
// every parameter of the bound call, positionally, defaults filled in.
// Store the result in a class namespace (ClassBuilder::attr).
py::object method_with_signature(const std::string& name, const std::string& class_qualname,
                                 const std::string& module_name, const std::string& doc, py::object function,
                                 py::object signature);

}  // namespace zorvan
