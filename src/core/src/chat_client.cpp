#include "zorvan/chat_client.hpp"

#include <string>

#include "zorvan/errors.hpp"
#include "zorvan/http_reply.hpp"
#include "zorvan/interpreter_store.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvan {

namespace {

constexpr const char* kAzureClient = "AzureChatOpenAI";
constexpr const char* kOpenAIClient = "ChatOpenAI";
// Local OpenAI-compatible servers ignore the key, but the client insists on one.
constexpr const char* kPlaceholderKey = "no-key-needed";

bool is_set(const py::dict& kwargs, const char* name) {
    return kwargs.contains(name) && !kwargs[name].is_none();
}

bool env_set(const char* name) {
    py::object value = imported(dep::os_environ).attr("get")(name);
    return !value.is_none() && !py::str(value).cast<std::string>().empty();
}

py::object env_value(const char* name) {
    return imported(dep::os_environ).attr("get")(name);
}

// An httpx transport that holds every attempt of one request (the SDK
// retries on the same thread, numbering its attempts) to one deadline, and
// refuses success answers that are not JSON.
py::object make_transport_class() {
    ClassBuilder builder("_DeadlineTransport", "zorvanai", imported(dep::httpx2_BaseTransport));
    builder.doc("HTTP transport of the chat clients: one deadline for a request and its retries.")
        .method(
            "__init__", "(self, budget)", "Keep the seconds that a request and its retries may take together.",
            [](py::object self, double budget) {
                self.attr("budget") = budget;
                self.attr("inner") = imported(dep::httpx2_HTTPTransport)();
                self.attr("starts") = imported(dep::threading_local)();
            },
            py::arg("self"), py::arg("budget"))
        .method(
            "handle_request", "(self, request)", "Send one attempt within what is left of the deadline.",
            [](py::object self, py::object request) -> py::object {
                const double now = imported(dep::time_monotonic)().cast<double>();
                py::object starts = self.attr("starts");
                const std::string attempt =
                    py::str(request.attr("headers").attr("get")("x-stainless-retry-count", "0"));
                if (attempt == "0" || !py::hasattr(starts, "first")) starts.attr("first") = now;
                const double left = starts.attr("first").cast<double>() + self.attr("budget").cast<double>() - now;
                if (left <= 0) {
                    // An error of the SDK's own kind is raised as it is, not retried.
                    py::object timeout_error = imported(dep::openai_APITimeoutError);
                    py::object instance = timeout_error(py::arg("request") = request);
                    PyErr_SetObject(timeout_error.ptr(), instance.ptr());
                    throw py::error_already_set();
                }
                py::dict extensions = request.attr("extensions");
                py::dict timeout;
                if (extensions.contains("timeout") && PyDict_Check(extensions["timeout"].ptr())) {
                    timeout = py::dict(extensions["timeout"]);
                }
                for (const char* phase : {"connect", "read", "write", "pool"}) {
                    const bool given = timeout.contains(phase) && !timeout[phase].is_none();
                    const double limit = given ? std::min(timeout[phase].cast<double>(), left) : left;
                    timeout[phase] = py::float_(limit);
                }
                extensions["timeout"] = timeout;
                py::object response = self.attr("inner").attr("handle_request")(request);
                const long status = response.attr("status_code").cast<long>();
                if (status < 200 || status >= 300) return response;
                const std::string type = py::str(response.attr("headers").attr("get")("content-type", ""));
                if (type.find("json") != std::string::npos || type.find("event-stream") != std::string::npos) {
                    return response;
                }
                response.attr("read")();
                try {
                    imported(dep::json_loads)(response.attr("content"));
                    return response;
                } catch (py::error_already_set& error) {
                    if (!error.matches(PyExc_ValueError)) throw;
                }
                const std::string url = py::str(request.attr("url"));
                const std::string summary = reply_summary(response);
                response.attr("close")();
                raise_error(ErrorKind::ModelService,
                            "The chat model at " + url + " did not answer with JSON (" + summary + ")");
            },
            py::arg("self"), py::arg("request"))
        .method(
            "close", "(self)", "Close the connections.", [](py::object self) { self.attr("inner").attr("close")(); },
            py::arg("self"))
        .method(
            "__del__", "(self)", "Close the connections when the client goes away unclosed, as the SDK's own does.",
            [](py::object self) {
                try {
                    if (py::hasattr(self, "inner")) self.attr("inner").attr("close")();
                } catch (py::error_already_set&) {
                    // Closing a pool at interpreter exit may find its modules gone.
                }
            },
            py::arg("self"));
    return builder.build();
}

py::object transport_class() {
    return kept("chat_client.transport_class", make_transport_class);
}

py::object http_client(double per_request_seconds) {
    py::object transport = transport_class()(kRequestBudgetFactor * per_request_seconds);
    return imported(dep::openai_DefaultHttpxClient)(py::arg("transport") = transport);
}

}  // namespace

py::object chat_client(py::handle settings, const py::dict& extra) {
    const std::string class_name = py::str(py::getattr(py::type::of(settings), "chat_client", py::str(kAzureClient)));
    if (class_name != kAzureClient && class_name != kOpenAIClient) {
        throw py::value_error("chat_client must be \"AzureChatOpenAI\" or \"ChatOpenAI\", not '" + class_name + "'");
    }
    py::object client_class = imported_module(dep::langchain_openai_module).attr(class_name.c_str());
    py::dict kwargs;
    py::dict entries = settings.attr("__dict__");
    for (auto item : entries) kwargs[item.first] = item.second;
    for (auto item : extra) {
        if (kwargs.contains(item.first)) {
            const std::string callee = std::string(py::str(client_class.attr("__module__"))) + "." +
                                       std::string(py::str(client_class.attr("__qualname__")));
            throw py::type_error(callee + "() got multiple values for keyword argument '" +
                                 std::string(py::str(item.first)) + "'");
        }
        kwargs[item.first] = item.second;
    }
    if (is_set(kwargs, "timeout") && !kwargs.contains("http_client")) {
        kwargs["http_client"] = http_client(kwargs["timeout"].cast<double>());
    }
    if (class_name == kAzureClient) {
        const bool has_credential = is_set(kwargs, "api_key") || is_set(kwargs, "azure_ad_token") ||
                                    is_set(kwargs, "azure_ad_token_provider") || env_set("AZURE_OPENAI_AD_TOKEN");
        if (!has_credential && env_set("AZURE_OPENAI_API_KEY")) {
            kwargs["api_key"] = env_value("AZURE_OPENAI_API_KEY");
        } else if (!has_credential && env_set("OPENAI_API_KEY")) {
            // The client would send the OpenAI key to Azure instead.
            const std::string deployment =
                is_set(kwargs, "azure_deployment") ? std::string(py::str(kwargs["azure_deployment"])) : "(unnamed)";
            raise_error(imported(dep::openai_OpenAIError),
                        "Missing credentials for the Azure deployment '" + deployment +
                            "': set AZURE_OPENAI_API_KEY (OPENAI_API_KEY is never sent to Azure)");
        }
    } else {
        if (!kwargs.contains("use_responses_api")) kwargs["use_responses_api"] = py::bool_(false);
        const bool has_base = is_set(kwargs, "base_url") || env_set("OPENAI_BASE_URL") || env_set("OPENAI_API_BASE");
        if (has_base && !is_set(kwargs, "api_key") && !env_set("OPENAI_API_KEY")) {
            kwargs["api_key"] = py::str(kPlaceholderKey);
        }
    }
    return client_class(**kwargs);
}

}  // namespace zorvan
