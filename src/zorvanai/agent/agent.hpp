// The agent front end: create an assistant for one database and ask it
// questions. The functions look their collaborators up in the module's own
// namespace at each call, as Python module code would.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "zorvan/pyutil.hpp"

namespace zorvanai::agent {
namespace py = pybind11;

// The connection address of the database: scheme, user, password,
// host, port and database; user and password are percent-encoded, an IPv6
// host is bracketed, SQL Server names its ODBC driver, and an SQLite file is
// opened read-only.
std::string connection_address(const py::object& engine, const py::object& db_name, const py::object& db_user,
                               const py::object& db_password, const py::object& db_host, const py::object& db_port);

// True, False or unset (None); anything else is a TypeError naming `name`.
std::optional<bool> optional_flag(const py::object& value, const char* name);

// `options`: the model keywords of zorvanai.settings.load_model_settings and
// quiet.
py::object create_agent(py::module_ m, const py::object& engine, const py::object& db_name, const py::object& db_user,
                        const py::object& db_password, const py::object& db_host, const py::object& db_port,
                        const py::dict& options);

// What one question gave: the result of run_agent and, for the front ends,
// whether it was answered, why not, and the usage.
struct RunOutcome {
    py::object result;
    bool answered = false;
    std::string reason;  // empty when answered
    py::object total_tokens = py::none();
    py::object total_cost = py::none();  // a float, "unknown" or None
};

// `warn_on_failure`: with the quiet switch on, a failure is also logged as a
// warning (the printed line went to DEBUG); callers that report the reason
// themselves leave it off.
RunOutcome run_question(py::module_ m, const py::object& agent, const py::object& zorvan_api_key,
                        const py::object& query, const py::object& media_path, bool warn_on_failure);

// The question through the graph, raising the package's exceptions:
// {"answer": the answer record, "total_tokens", "total_cost"}. A model
// failure raises ModelServiceError, a database failure DatabaseError (also
// when no query could be run; its `answer` is then the model's answer), each
// with the original error as its cause; errors of no known family propagate
// as they are.
py::dict answer_question(py::module_ m, const py::object& agent, const py::object& zorvan_api_key,
                         const py::object& query, const py::object& media_path);

// Why a run failed, in words that name the service and what came back.
std::string failure_reason(const py::error_already_set& error);

// ---- runs for measurement (evaluation.cpp) -------------------------------

// Registers the run trace class and its configure hook on the module.
void add_trace_support(py::module_& m);

// Runs one question and describes it for measurement: {"executions": [{"query",
// "result", "success"}], "relevant_tables", "prompt_tokens",
// "completion_tokens", "total_cost" (None when a model has no price),
// "error": None or {"kind": "model" | "database" | "other", "reason"}}. The
// graph's errors are described, not raised (KeyboardInterrupt is).
py::dict run_for_evaluation(py::module_ m, const py::object& agent, const py::object& zorvan_api_key,
                            const py::object& query, const py::object& media_path);

py::object create_chat_openai_instance(py::module_ m, const py::object& zorvan_api_key);

py::object make_custom_runnable_agent_class(const std::string& module_name);

// The answer record's TypedDict.
py::object make_answer_record_type(const std::string& module_name);

// ---- usage (usage.cpp) --------------------------------------------------

struct Usage {
    long tokens = 0;
    long prompt_tokens = 0;
    long completion_tokens = 0;
    std::optional<double> cost;         // empty: a model without a price
    std::vector<std::string> unpriced;  // the models without a price
};

// Registers the meter class and its configure hook on the module.
void add_usage_support(py::module_& m);

// While alive, every chat model reply of this context is counted.
class UsageScope {
public:
    explicit UsageScope(py::module_ m);

    // Tokens and cost so far; `prices` ({model: {"input", "output"}} in US
    // dollars per million tokens) goes before the built-in table.
    Usage usage(const py::dict& prices) const;

private:
    py::object meter_;
    zorvan::HookScope hook_;
};

}  // namespace zorvanai::agent
