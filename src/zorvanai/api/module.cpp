#include <pybind11/pybind11.h>

#include "handler.hpp"
#include "vendor.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace api = zorvanai::api;

PYBIND11_MODULE(api, m) {
    m.doc() =
        R"(The vendor service: chat deployments, OpenAI settings and usage reports.

Configuration: ZORVAN_API_URL (base address, required; http:// only to this machine
unless ZORVAN_ALLOW_HTTP=1), ZORVAN_API_TIMEOUT (seconds per request, default 30) and
ZORVAN_USAGE_TIMEOUT (seconds a usage report may take, default 5).)";
    const std::string name = py::str(m.attr("__name__"));
    m.attr("ConfigurationError") = api::errors().configuration;
    m.attr("VendorServiceError") = api::errors().service;
    m.attr("ModelServiceError") = api::errors().model;
    m.attr("DEPLOYMENTS_PATH") = py::str(api::kDeploymentsPath);
    m.attr("OPENAI_SETTINGS_PATH") = py::str(api::kOpenAISettingsPath);
    m.attr("USAGE_PATH") = py::str(api::kUsagePath);
    m.attr("ZorvanAPIHandler") = api::make_handler_class(name);
    zorvan::def(m, "base_url", "()",
                R"(The vendor service's base address, from ZORVAN_API_URL.

Returns:
    ZORVAN_API_URL without a trailing "/".

Raises:
    ConfigurationError: ZORVAN_API_URL is not set, or is http:// to another
        machine while ZORVAN_ALLOW_HTTP is not 1 (the account key would travel in clear).)",
                [] { return api::base_url(); });
    zorvan::def(m, "fetch_deployments", "()",
                R"(Fetch the vendor service's list of chat deployments.

GET {ZORVAN_API_URL}/zorvan/azure-openais/ (no account key), within
ZORVAN_API_TIMEOUT seconds.

Returns:
    The list of deployment records, as the service sent it.

Raises:
    ConfigurationError: ZORVAN_API_URL is not set or not usable.
    VendorServiceError: no answer in time, or one that is not a JSON list; the
        message names the address.)",
                [] { return api::fetch_deployments(); });
    zorvan::def(m, "request_timeout", "()",
                R"(Seconds a request to the vendor service may take.

Returns:
    ZORVAN_API_TIMEOUT as a number, or 30 when it is not set.

Raises:
    ConfigurationError: the variable is not a positive number.)",
                [] { return api::request_timeout(); });
    zorvan::def(
        m, "send_user_question", "(zorvan_api_key, question, total_tokens, total_cost)",
        R"(Report one answered question and the model usage it took.

POST {ZORVAN_API_URL}/zorvan/usage/ with the JSON body
{"question": ..., "total_tokens": ..., "total_cost": ...} and the account key.
The request waits at most ZORVAN_USAGE_TIMEOUT seconds (default 5, and never longer
than ZORVAN_API_TIMEOUT). A report that cannot be delivered is logged as a warning
with the reason; it is never raised, so the answer it belongs to is not lost.

Args:
    zorvan_api_key: the account's key.
    question: the question as asked.
    total_tokens: tokens of every model call for the question.
    total_cost: their cost in US dollars, or "unknown" when a model is not in the
        price table.)",
        [](py::object key, py::object question, py::object tokens, py::object cost) {
            api::send_user_question(key, question, tokens, cost);
        },
        py::arg("zorvan_api_key"), py::arg("question"), py::arg("total_tokens"), py::arg("total_cost"));
    api::init_usage_reports(m);
    py::module_ self = m;
    zorvan::def(
        m, "send_user_question_later", "(zorvan_api_key, question, total_tokens, total_cost)",
        R"(Send the usage report of send_user_question on a background thread.

The answer does not wait for the report. Reports still on their way when the
program ends are waited for (each within its own time limit).

Args:
    zorvan_api_key: the account's key.
    question: the question as asked.
    total_tokens: tokens of every model call for the question.
    total_cost: their cost in US dollars, or "unknown".

Returns:
    The started threading.Thread.)",
        [self](py::object key, py::object question, py::object tokens, py::object cost) {
            return api::send_user_question_later(self, key, question, tokens, cost);
        },
        py::arg("zorvan_api_key"), py::arg("question"), py::arg("total_tokens"), py::arg("total_cost"));
    zorvan::def(
        m, "wait_for_usage_reports", "(timeout=None)",
        R"(Wait for the usage reports that are still on their way.

Args:
    timeout: the most seconds to wait; None waits until each has finished (each
        report has its own time limit).

Returns:
    True when no report is left on its way.)",
        [self](py::object timeout) { return api::wait_for_usage_reports(self, timeout); },
        py::arg("timeout") = py::none());
}
