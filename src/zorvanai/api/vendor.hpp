// The vendor service: the deployment list, the OpenAI settings of an
// account and the usage reports. Its base address comes from the
// environment variable ZORVAN_API_URL (a .env file works through
// load_dotenv); every request has a time limit (ZORVAN_API_TIMEOUT seconds,
// default 30).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::api {
namespace py = pybind11;

inline constexpr const char* kDeploymentsPath = "/zorvan/azure-openais/";
inline constexpr const char* kOpenAISettingsPath = "/zorvan/openai-settings/";
inline constexpr const char* kUsagePath = "/zorvan/usage/";

// The exception classes the module raises (the package's own tree).
struct Errors {
    py::object configuration;  // ConfigurationError(RuntimeError)
    py::object service;        // VendorServiceError(RuntimeError)
    py::object model;          // ModelServiceError(openai.OpenAIError)
};
Errors errors();

// The deployment list (GET {base}/zorvan/azure-openais/, no key), with the
// request time limit: a JSON list, else VendorServiceError naming the address.
py::object fetch_deployments();

// ZORVAN_API_URL without a trailing "/"; raises ConfigurationError when unset.
std::string base_url();

// Seconds each request may take: ZORVAN_API_TIMEOUT, default 30.
double request_timeout();

// Seconds a usage report may take: ZORVAN_USAGE_TIMEOUT (default 5), at
// most the request limit.
double usage_timeout();

// GET `url` with the account key; returns the parsed JSON body. POST `body`
// as JSON; any success status will do. Any failure raises
// VendorServiceError naming the address asked.
py::object get_json(const std::string& url, const std::string& account_key);
void post_json(const std::string& url, const std::string& account_key, const py::dict& body, double timeout);

// The settings record of the account's OpenAI model (a mapping).
py::object get_openai_data(const std::string& account_key);

// Reports one answered question and its usage; delivery failures are
// logged as warnings and never raised.
void send_user_question(const py::object& account_key, const py::object& question, const py::object& total_tokens,
                        const py::object& total_cost);

// The module's send_user_question on a background thread; the thread is
// returned and kept until wait_for_usage_reports sees it finish.
py::object send_user_question_later(py::module_ m, const py::object& account_key, const py::object& question,
                                    const py::object& total_tokens, const py::object& total_cost);

// Waits for the reports still on their way (at most `timeout` seconds when
// it is not None); true when none is left.
bool wait_for_usage_reports(py::module_ m, const py::object& timeout);

// The list of reports on their way, and the wait for them at exit.
void init_usage_reports(py::module_ m);

}  // namespace zorvanai::api
