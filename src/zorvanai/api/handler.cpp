#include "handler.hpp"

#include "vendor.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::api {

py::object make_handler_class(const std::string& module_name) {
    zorvan::ClassBuilder builder("ZorvanAPIHandler", module_name, zorvan::imported(zorvan::dep::builtins_object));
    builder
        .doc(
            R"(The vendor service for one account.

Requests go to the base address in ZORVAN_API_URL and carry the account key
as ``Authorization: Bearer <key>``; each waits at most ZORVAN_API_TIMEOUT
seconds (default 30).)")
        .method(
            "__init__", "(self, zorvan_api_key)",
            R"(Keep the account key.

Args:
    zorvan_api_key: the account's key for the vendor service.

Raises:
    TypeError: the key is not a non-empty str.)",
            [](py::object self, py::object key) {
                if (!py::isinstance<py::str>(key) || py::len(key) == 0) {
                    throw py::type_error("zorvan_api_key must be a non-empty str");
                }
                self.attr("zorvan_api_key") = key;
            },
            py::arg("self"), py::arg("zorvan_api_key"))
        .method(
            "get_openai_data", "(self)",
            R"(Fetch the account's OpenAI model settings.

GET {ZORVAN_API_URL}/zorvan/openai-settings/

Returns:
    A mapping with the keys "model_name", "temperature" and "api_key",
    any of which may be absent.

Raises:
    ConfigurationError: ZORVAN_API_URL is not set.
    VendorServiceError: the service could not be reached in time, refused the key
        or did not answer with a JSON record.)",
            [](py::object self) { return get_openai_data(self.attr("zorvan_api_key").cast<std::string>()); },
            py::arg("self"))
        .method(
            "__repr__", "(self)", "The handler, with the key masked.",
            [](py::object) { return std::string("ZorvanAPIHandler(zorvan_api_key='***')"); }, py::arg("self"));
    return builder.build();
}

}  // namespace zorvanai::api
