#include "vendor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "zorvan/console.hpp"
#include "zorvan/errors.hpp"
#include "zorvan/http_reply.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::api {

namespace {

constexpr double kDefaultTimeoutSeconds = 30.0;
constexpr double kDefaultUsageTimeoutSeconds = 5.0;
constexpr const char* kPendingReports = "_pending_usage_reports";

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
        zorvan::raise_error(errors().service,
                            "The vendor service at " + url + " answered with " + zorvan::reply_summary(response));
    }
}

// Checks the status, then parses the body as JSON.
py::object parse_response(const py::object& response, const std::string& url) {
    check_status(response, url);
    try {
        return response.attr("json")();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        zorvan::raise_error(errors().service, "The vendor service at " + url + " did not answer with JSON (" +
                                                  zorvan::reply_summary(response) + ")");
    }
}

double seconds_from(const char* variable, double fallback) {
    py::object value = zorvan::imported(zorvan::dep::os_environ).attr("get")(variable);
    if (value.is_none() || py::str(value).cast<std::string>().empty()) return fallback;
    const std::string text = value.cast<std::string>();
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(seconds > 0) || !std::isfinite(seconds)) {
        zorvan::raise_error(errors().configuration,
                            std::string(variable) + " must be a positive number of seconds, not '" + text + "'");
    }
    return seconds;
}

// One request with a time limit. `account_key` empty: no key is sent. A
// failure to get an answer at all raises VendorServiceError "<failure> <url> (...)".
py::object send(const char* method, const std::string& url, const std::string& account_key,
                std::optional<py::dict> body, double timeout,
                const std::string& failure = "Could not reach the vendor service at") {
    py::module_ requests = zorvan::imported_module(zorvan::dep::requests_module);
    py::object response;
    try {
        py::dict options;
        if (!account_key.empty()) options["headers"] = key_headers(account_key);
        options["timeout"] = py::float_(timeout);
        if (body) options["json"] = *body;
        response = requests.attr("request")(method, url, **options);
    } catch (py::error_already_set& error) {
        if (!error.matches(requests.attr("RequestException"))) throw;
        zorvan::raise_error(errors().service, failure + " " + url + " (" + describe(error) + ")");
    }
    return response;
}

}  // namespace

Errors errors() {
    return Errors{zorvan::error_class(zorvan::ErrorKind::Configuration),
                  zorvan::error_class(zorvan::ErrorKind::VendorService),
                  zorvan::error_class(zorvan::ErrorKind::ModelService)};
}

std::string base_url() {
    py::object value = zorvan::imported(zorvan::dep::os_environ).attr("get")("ZORVAN_API_URL");
    std::string url = value.is_none() ? std::string() : value.cast<std::string>();
    while (!url.empty() && (url.back() == '/' || url.back() == ' ')) url.pop_back();
    if (url.empty()) {
        zorvan::raise_error(errors().configuration,
                            "ZORVAN_API_URL is not set: set it to the base address of the vendor service "
                            "(for example https://vendor.example.com) in the environment or in a .env file");
    }
    // The account key goes with every keyed request.
    zorvan::refuse_plain_http(url, "ZORVAN_API_URL", errors().configuration);
    return url;
}

double request_timeout() {
    return seconds_from("ZORVAN_API_TIMEOUT", kDefaultTimeoutSeconds);
}

double usage_timeout() {
    return std::min(request_timeout(), seconds_from("ZORVAN_USAGE_TIMEOUT", kDefaultUsageTimeoutSeconds));
}

py::object get_json(const std::string& url, const std::string& account_key) {
    return parse_response(send("GET", url, account_key, std::nullopt, request_timeout()), url);
}

void post_json(const std::string& url, const std::string& account_key, const py::dict& body, double timeout) {
    // Any success status counts as delivered; what the body says is not used.
    check_status(send("POST", url, account_key, body, timeout), url);
}

py::object fetch_deployments() {
    const std::string url = base_url() + kDeploymentsPath;
    py::object response =
        send("GET", url, "", std::nullopt, request_timeout(), "Could not fetch the deployment list from");
    py::object deployments;
    try {
        deployments = response.attr("json")();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        zorvan::raise_error(errors().service, "The deployment list from " + url + " is not JSON (" +
                                                  zorvan::reply_summary(response) + ")");
    }
    if (!PyList_Check(deployments.ptr())) {
        zorvan::raise_error(errors().service, "The deployment list from " + url + " (HTTP status " +
                                                  std::string(py::str(response.attr("status_code"))) + ") is a JSON " +
                                                  zorvan::type_name(deployments) +
                                                  ", not a list of deployment records");
    }
    return deployments;
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
        post_json(url, py::str(account_key).cast<std::string>(), body, usage_timeout());
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        // The answer is already made; a lost report must not take it away.
        zorvan::log_warning("The usage report could not be delivered: " + describe(error));
    }
}

py::object send_user_question_later(py::module_ m, const py::object& account_key, const py::object& question,
                                    const py::object& total_tokens, const py::object& total_cost) {
    // The thread inherits this context, so that the quiet switch holds there too.
    py::object context = zorvan::imported(zorvan::dep::contextvars_copy_context)();
    py::object thread = zorvan::imported(zorvan::dep::threading_Thread)(
        py::arg("target") = context.attr("run"),
        py::arg("args") = py::make_tuple(m.attr("send_user_question"), account_key, question, total_tokens, total_cost),
        py::arg("name") = "zorvanai usage report", py::arg("daemon") = true);
    py::list pending = m.attr(kPendingReports);
    pending.append(thread);
    thread.attr("start")();
    return thread;
}

bool wait_for_usage_reports(py::module_ m, const py::object& timeout) {
    py::list pending = m.attr(kPendingReports);
    const double now = zorvan::imported(zorvan::dep::time_monotonic)().cast<double>();
    const double deadline = timeout.is_none() ? 0.0 : now + timeout.cast<double>();
    py::list left;
    for (py::handle thread : py::list(pending)) {
        py::object wait = py::none();
        if (!timeout.is_none()) {
            const double rest = deadline - zorvan::imported(zorvan::dep::time_monotonic)().cast<double>();
            wait = py::float_(rest > 0 ? rest : 0.0);
        }
        thread.attr("join")(wait);
        if (py::bool_(thread.attr("is_alive")())) left.append(thread);
    }
    m.attr(kPendingReports) = left;
    return py::len(left) == 0;
}

void init_usage_reports(py::module_ m) {
    m.attr(kPendingReports) = py::list();
    // A report still on its way when the program ends is waited for (its own
    // time limit bounds the wait) rather than dropped.
    py::module_ self = m;
    zorvan::imported(zorvan::dep::atexit_register)(
        py::cpp_function([self]() { wait_for_usage_reports(self, py::none()); }));
}

}  // namespace zorvanai::api
