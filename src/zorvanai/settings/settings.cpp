#include "settings.hpp"

#include <cstdlib>
#include <string>

#include "zorvan/python_names.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::settings {

namespace {
constexpr const char* kFields[] = {"azure_deployment", "azure_endpoint", "api_key", "api_version"};
constexpr double kDefaultTimeoutSeconds = 120.0;
constexpr long kDefaultMaxRetries = 2;

// A positive number from the environment, or `fallback` when unset.
double env_seconds(const char* variable, double fallback) {
    const char* raw = std::getenv(variable);
    if (raw == nullptr || *raw == '\0') return fallback;
    char* end = nullptr;
    const double value = std::strtod(raw, &end);
    if (end == raw || *end != '\0' || !(value > 0)) {
        throw py::value_error(std::string(variable) + " must be a positive number of seconds, not '" + raw + "'");
    }
    return value;
}

long env_count(const char* variable, long fallback) {
    const char* raw = std::getenv(variable);
    if (raw == nullptr || *raw == '\0') return fallback;
    char* end = nullptr;
    const long value = std::strtol(raw, &end, 10);
    if (end == raw || *end != '\0' || value < 0) {
        throw py::value_error(std::string(variable) + " must be a whole number of 0 or more, not '" + raw + "'");
    }
    return value;
}
// timeout and max_retries of a record: the arguments, else the environment.
void set_request_limits(py::object self, py::object timeout, py::object max_retries) {
    double seconds =
        timeout.is_none() ? env_seconds("ZORVAN_MODEL_TIMEOUT", kDefaultTimeoutSeconds) : timeout.cast<double>();
    if (!(seconds > 0)) throw py::value_error("timeout must be a positive number of seconds");
    long retries =
        max_retries.is_none() ? env_count("ZORVAN_MODEL_MAX_RETRIES", kDefaultMaxRetries) : max_retries.cast<long>();
    if (retries < 0) throw py::value_error("max_retries must be 0 or more");
    py::setattr(self, "timeout", py::float_(seconds));
    py::setattr(self, "max_retries", py::int_(retries));
}

void require_text(const py::object& value, const char* field) {
    if (!value.is_none() && !py::isinstance<py::str>(value)) {
        throw py::type_error(std::string(field) + " must be a str or None, not " +
                             std::string(py::str(py::type::of(value).attr("__name__"))));
    }
}

}  // namespace

py::object make_settings_class(const char* class_name, const char* role, const std::string& module_name) {
    using zorvan::ClassBuilder;
    const std::string doc = std::string("Connection settings of the Azure OpenAI chat deployment for the ") + role +
                            R"( model.

The instance's attribute mapping holds keyword arguments of ``AzureChatOpenAI``:
azure_deployment, azure_endpoint, api_key and api_version (None when not given),
and the request limits timeout (seconds per request; default 120, or the
environment variable ZORVAN_MODEL_TIMEOUT) and max_retries (default 2, or
ZORVAN_MODEL_MAX_RETRIES).)";
    ClassBuilder builder(class_name, module_name, zorvan::imported(zorvan::dep::builtins_object));
    builder.doc(doc)
        .attr("chat_client", py::str("AzureChatOpenAI"))
        .method(
            "__init__",
            "(self, azure_deployment=None, azure_endpoint=None, api_key=None, api_version=None, timeout=None, "
            "max_retries=None)",
            R"(Keep the deployment settings; any of them may be None.

Args:
    azure_deployment: the deployment name.
    azure_endpoint: the service endpoint; None when not configured.
    api_key: the key for the deployment.
    api_version: the service interface version.
    timeout: seconds per model request; None takes ZORVAN_MODEL_TIMEOUT, else 120.
    max_retries: retries of a failed request; None takes ZORVAN_MODEL_MAX_RETRIES,
        else 2.

Raises:
    TypeError: one of the four texts is neither a str nor None.
    ValueError: timeout is not positive, max_retries is negative, or an environment
        variable holds no such number.)",
            [](py::object self, py::object deployment, py::object endpoint, py::object key, py::object version,
               py::object timeout, py::object max_retries) {
                py::object values[] = {deployment, endpoint, key, version};
                for (std::size_t i = 0; i < 4; ++i) {
                    require_text(values[i], kFields[i]);
                    py::setattr(self, kFields[i], values[i]);
                }
                set_request_limits(self, timeout, max_retries);
            },
            py::arg("self"), py::arg("azure_deployment") = py::none(), py::arg("azure_endpoint") = py::none(),
            py::arg("api_key") = py::none(), py::arg("api_version") = py::none(), py::arg("timeout") = py::none(),
            py::arg("max_retries") = py::none())
        .method(
            "__repr__", "(self)",
            R"(The settings, with the key masked.

Returns:
    ``AzureOpenAIChat35(azure_deployment=..., api_key='***', ...)``.)",
            [class_name](py::object self) {
                std::string text = std::string(class_name) + "(";
                for (std::size_t i = 0; i < 4; ++i) {
                    py::object value = self.attr(kFields[i]);
                    text += std::string(kFields[i]) + "=" +
                            (i == 2 && !value.is_none() ? std::string("'***'") : std::string(py::repr(value))) + ", ";
                }
                text += "timeout=" + std::string(py::repr(self.attr("timeout"))) +
                        ", max_retries=" + std::string(py::repr(self.attr("max_retries")));
                return text + ")";
            },
            py::arg("self"));
    add_equality(builder);
    return builder.build();
}

py::object make_openai_settings_class(const std::string& module_name) {
    using zorvan::ClassBuilder;
    ClassBuilder builder("OpenAIChatSettings", module_name, zorvan::imported(zorvan::dep::builtins_object));
    builder
        .doc(
            R"(Connection settings of a chat model behind an OpenAI-compatible endpoint.

OpenAI itself, or a server such as Ollama, vLLM, llama.cpp's server or LM Studio.
The instance's attribute mapping holds keyword arguments of ``ChatOpenAI``: model,
base_url (None: OPENAI_BASE_URL, else OpenAI's own), api_key (None: OPENAI_API_KEY;
a local server needs none), and the request limits timeout and max_retries as for
AzureOpenAIChat35.)")
        .attr("chat_client", py::str("ChatOpenAI"))
        .method(
            "__init__", "(self, model=None, base_url=None, api_key=None, timeout=None, max_retries=None)",
            R"(Keep the model settings; any of them may be None.

Args:
    model: the model name as the server knows it (e.g. gpt-4o-mini, llama3.1).
    base_url: the endpoint, e.g. http://localhost:11434/v1; None for OpenAI's own.
    api_key: the key; None takes OPENAI_API_KEY.
    timeout: seconds per model request; None takes ZORVAN_MODEL_TIMEOUT, else 120.
    max_retries: retries of a failed request; None takes ZORVAN_MODEL_MAX_RETRIES,
        else 2.

Raises:
    TypeError: model, base_url or api_key is neither a str nor None.
    ValueError: timeout is not positive or max_retries is negative.)",
            [](py::object self, py::object model, py::object base_url, py::object api_key, py::object timeout,
               py::object max_retries) {
                const std::pair<const char*, py::object> fields[] = {
                    {"model", model}, {"base_url", base_url}, {"api_key", api_key}};
                for (const auto& [name, value] : fields) {
                    require_text(value, name);
                    py::setattr(self, name, value);
                }
                set_request_limits(self, timeout, max_retries);
            },
            py::arg("self"), py::arg("model") = py::none(), py::arg("base_url") = py::none(),
            py::arg("api_key") = py::none(), py::arg("timeout") = py::none(), py::arg("max_retries") = py::none())
        .method(
            "__repr__", "(self)", "The settings, with the key masked.",
            [](py::object self) {
                py::object key = self.attr("api_key");
                return "OpenAIChatSettings(model=" + std::string(py::repr(self.attr("model"))) +
                       ", base_url=" + std::string(py::repr(self.attr("base_url"))) +
                       ", api_key=" + (key.is_none() ? std::string("None") : std::string("'***'")) +
                       ", timeout=" + std::string(py::repr(self.attr("timeout"))) +
                       ", max_retries=" + std::string(py::repr(self.attr("max_retries"))) + ")";
            },
            py::arg("self"));
    add_equality(builder);
    return builder.build();
}

}  // namespace zorvanai::settings
