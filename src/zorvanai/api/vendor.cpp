#include "vendor.hpp"

#include <cmath>
#include <cstdlib>
#include <optional>

#include "zorvan/pyutil.hpp"

namespace zorvanai::api {

namespace {

constexpr double kDefaultTimeoutSeconds = 30.0;

std::optional<Errors>& error_classes() {
    static std::optional<Errors> classes;
    return classes;
}

std::string describe(const py::error_already_set& error) {
    return zorvan::type_name(error.value()) + ": " + std::string(py::str(error.value()));
}

py::dict key_headers(const std::string& account_key) {
    py::dict headers;
    headers["Authorization"] = py::str("Bearer " + account_key);
    headers["Accept"] = py::str("application/json");
    return headers;
}

// Refuses an answer whose status is not a success.
void check_status(const py::object& response, const std::string& url) {
    const int status = response.attr("status_code").cast<int>();
    if (status < 200 || status >= 300) {
        std::string body = py::str(response.attr("text"));
        if (body.size() > 300) body = body.substr(0, 300) + "...";
        zorvan::raise_error(errors().service, "The vendor service at " + url + " answered with HTTP status " +
                                                  std::to_string(status) + ": " + body);
    }
}

// Checks the status, then parses the body as JSON.
py::object parse_response(const py::object& response, const std::string& url) {
    check_status(response, url);
    try {
        return response.attr("json")();
    } catch (py::error_already_set& error) {
        zorvan::raise_error(errors().service,
                            "The vendor service at " + url + " did not answer with JSON (" + describe(error) + ")");
    }
}

py::object send(const char* method, const std::string& url, const std::string& account_key,
                std::optional<py::dict> body) {
    py::module_ requests = py::module_::import("requests");
    py::object response;
    try {
        py::dict options;
        options["headers"] = key_headers(account_key);
        options["timeout"] = py::float_(request_timeout());
        if (body) options["json"] = *body;
        response = requests.attr("request")(method, url, **options);
    } catch (py::error_already_set& error) {
        if (!error.matches(requests.attr("RequestException"))) throw;
        zorvan::raise_error(errors().service,
                            "Could not reach the vendor service at " + url + " (" + describe(error) + ")");
    }
    return response;
}

}  // namespace

const Errors& errors() {
    if (!error_classes()) throw std::logic_error("zorvanai.api errors used before the module was loaded");
    return *error_classes();
}

void create_errors(const std::string& module_name) {
    py::object runtime_error = zorvan::import_attr("builtins", "RuntimeError");
    Errors created;
    created.configuration =
        zorvan::make_exception_class("ConfigurationError", module_name, runtime_error,
                                     "Something the package needs is not configured; the message says what to set.");
    created.service = zorvan::make_exception_class(
        "VendorServiceError", module_name, runtime_error,
        "The vendor service could not be reached or gave an unusable answer; the message names the address.");
    error_classes() = std::move(created);
}

std::string base_url() {
    py::object value = py::module_::import("os").attr("environ").attr("get")("ZORVAN_API_URL");
    std::string url = value.is_none() ? std::string() : value.cast<std::string>();
    while (!url.empty() && (url.back() == '/' || url.back() == ' ')) url.pop_back();
    if (url.empty()) {
        zorvan::raise_error(errors().configuration,
                            "ZORVAN_API_URL is not set: set it to the base address of the vendor service "
                            "(for example https://vendor.example.com) in the environment or in a .env file");
    }
    return url;
}

double request_timeout() {
    py::object value = py::module_::import("os").attr("environ").attr("get")("ZORVAN_API_TIMEOUT");
    if (value.is_none() || py::str(value).cast<std::string>().empty()) return kDefaultTimeoutSeconds;
    const std::string text = value.cast<std::string>();
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(seconds > 0) || !std::isfinite(seconds)) {
        zorvan::raise_error(errors().configuration,
                            "ZORVAN_API_TIMEOUT must be a positive number of seconds, not '" + text + "'");
    }
    return seconds;
}

py::object get_json(const std::string& url, const std::string& account_key) {
    return parse_response(send("GET", url, account_key, std::nullopt), url);
}

void post_json(const std::string& url, const std::string& account_key, const py::dict& body) {
    // Any success status counts as delivered; what the body says is not used.
    check_status(send("POST", url, account_key, body), url);
}

py::object get_openai_data(const std::string& account_key) {
    const std::string url = base_url() + kOpenAISettingsPath;
    py::object data = get_json(url, account_key);
    if (!PyDict_Check(data.ptr())) {
        zorvan::raise_error(errors().service, "The vendor service at " + url + " answered with a JSON " +
                                                  zorvan::type_name(data) +
                                                  " where a record of model settings was expected");
    }
    return data;
}

void send_user_question(const py::object& account_key, const py::object& question, const py::object& total_tokens,
                        const py::object& total_cost) {
    try {
        const std::string url = base_url() + kUsagePath;
        py::dict body;
        body["question"] = question;
        body["total_tokens"] = total_tokens;
        body["total_cost"] = total_cost;
        post_json(url, py::str(account_key).cast<std::string>(), body);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        // The answer is already made; a lost report must not take it away.
        const std::string reason = describe(error);
        zorvan::import_attr("loguru", "logger").attr("warning")("The usage report could not be delivered: {}", reason);
    }
}

}  // namespace zorvanai::api
