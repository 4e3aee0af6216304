#include "settings.hpp"

#include <string>

#include "zorvan/signed.hpp"

namespace zorvanai::settings {

namespace {
constexpr const char* kFields[] = {"azure_deployment", "azure_endpoint", "api_key", "api_version"};

std::string masked(py::handle value) {
    if (value.is_none()) return "None";
    return "'***'";
}
}  // namespace

py::object make_settings_class(const char* class_name, const char* role, const std::string& module_name) {
    using zorvan::ClassBuilder;
    const std::string doc = std::string("Connection settings of the Azure OpenAI chat deployment for the ") + role +
                            " model.\n\n"
                            "The instance's attribute mapping holds exactly the four fields, each a keyword\n"
                            "argument of ``AzureChatOpenAI``: azure_deployment, azure_endpoint, api_key and\n"
                            "api_version. A field that is not given is None.";
    ClassBuilder builder(class_name, module_name, py::module_::import("builtins").attr("object"));
    builder.doc(doc)
        .method(
            "__init__", "(self, azure_deployment=None, azure_endpoint=None, api_key=None, api_version=None)",
            "Keep the four deployment settings; any of them may be None.",
            [](py::object self, py::object deployment, py::object endpoint, py::object key, py::object version) {
                py::object values[] = {deployment, endpoint, key, version};
                for (std::size_t i = 0; i < 4; ++i) {
                    if (!values[i].is_none() && !py::isinstance<py::str>(values[i])) {
                        throw py::type_error(std::string(kFields[i]) + " must be a str or None, not " +
                                             std::string(py::str(py::type::of(values[i]).attr("__name__"))));
                    }
                    py::setattr(self, kFields[i], values[i]);
                }
            },
            py::arg("self"), py::arg("azure_deployment") = py::none(), py::arg("azure_endpoint") = py::none(),
            py::arg("api_key") = py::none(), py::arg("api_version") = py::none())
        .method(
            "__repr__", "(self)", "The settings, with the key masked.",
            [class_name](py::object self) {
                std::string text = std::string(class_name) + "(";
                for (std::size_t i = 0; i < 4; ++i) {
                    py::object value = self.attr(kFields[i]);
                    if (i) text += ", ";
                    text += std::string(kFields[i]) + "=" + (i == 2 ? masked(value) : std::string(py::repr(value)));
                }
                return text + ")";
            },
            py::arg("self"))
        .method(
            "__eq__", "(self, other)", "Equal when the other record is of the same class with the same fields.",
            [](py::object self, py::object other) -> py::object {
                if (!py::type::of(self).is(py::type::of(other)))
                    return py::reinterpret_borrow<py::object>(Py_NotImplemented);
                return py::bool_(self.attr("__dict__").equal(other.attr("__dict__")));
            },
            py::arg("self"), py::arg("other"))
        .attr("__hash__", py::none());
    return builder.build();
}

}  // namespace zorvanai::settings
