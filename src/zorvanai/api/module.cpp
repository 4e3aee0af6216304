#include <pybind11/pybind11.h>

#include "handler.hpp"
#include "vendor.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace api = zorvanai::api;

PYBIND11_MODULE(api, m) {
    m.doc() =
        "The vendor service: chat deployments, OpenAI settings and usage reports.\n\n"
        "Configuration: ZORVAN_API_URL (base address, required) and ZORVAN_API_TIMEOUT\n"
        "(seconds per request, default 30).";
    const std::string name = py::str(m.attr("__name__"));
    api::create_errors(name);
    m.attr("ConfigurationError") = api::errors().configuration;
    m.attr("VendorServiceError") = api::errors().service;
    m.attr("DEPLOYMENTS_PATH") = py::str(api::kDeploymentsPath);
    m.attr("OPENAI_SETTINGS_PATH") = py::str(api::kOpenAISettingsPath);
    m.attr("USAGE_PATH") = py::str(api::kUsagePath);
    m.attr("ZorvanAPIHandler") = api::make_handler_class(name);
    zorvan::def(m, "base_url", "()",
                "The vendor service's base address, from ZORVAN_API_URL.\n\n"
                "Returns:\n    ZORVAN_API_URL without a trailing \"/\".\n\n"
                "Raises:\n    ConfigurationError: ZORVAN_API_URL is not set.",
                [] { return api::base_url(); });
    zorvan::def(m, "request_timeout", "()",
                "Seconds a request to the vendor service may take.\n\n"
                "Returns:\n    ZORVAN_API_TIMEOUT as a number, or 30 when it is not set.\n\n"
                "Raises:\n    ConfigurationError: the variable is not a positive number.",
                [] { return api::request_timeout(); });
    zorvan::def(
        m, "send_user_question", "(zorvan_api_key, question, total_tokens, total_cost)",
        "Report one answered question and the model usage it took.\n\n"
        "POST {ZORVAN_API_URL}/zorvan/usage/ with the JSON body\n"
        "{\"question\": ..., \"total_tokens\": ..., \"total_cost\": ...} and the account key.\n"
        "A report that cannot be delivered is logged as a warning with the reason; it is\n"
        "never raised, so the answer it belongs to is not lost.\n\n"
        "Args:\n    zorvan_api_key: the account's key.\n    question: the question as asked.\n"
        "    total_tokens: tokens of every model call for the question.\n"
        "    total_cost: their cost in US dollars.",
        [](py::object key, py::object question, py::object tokens, py::object cost) {
            api::send_user_question(key, question, tokens, cost);
        },
        py::arg("zorvan_api_key"), py::arg("question"), py::arg("total_tokens"), py::arg("total_cost"));
}
