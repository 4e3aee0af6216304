#include <cctype>
#include <exception>
#include <optional>

#include "agent.hpp"
#include "zorvan/console.hpp"
#include "zorvan/errors.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/http_reply.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::agent {

namespace {

constexpr const char* kNoOutput = "Error: No output generated from the agent.";
constexpr const char* kSqlGivenUp = "SQL generation failed after max iterations";

py::object item(const py::object& state, const char* key) {
    return state[py::str(key)];
}

// The answer record from the final state. When the graph ended without
// running a script (the SQL attempts were given up), the answer still
// stands: the script and the chart path are then empty texts.
py::dict answer_record(const py::object& state) {
    py::dict record;
    record[zorvan::answer::output] = item(state, zorvan::key::final_response);
    if (state.contains(py::str(zorvan::key::pandas_code))) {
        record[zorvan::answer::python_code] = item(state, zorvan::key::pandas_code);
        record[zorvan::answer::image_path] = item(state, zorvan::key::image_path);
    } else {
        record[zorvan::answer::python_code] = py::str("");
        py::object image_path = state.attr("get")(zorvan::key::image_path);
        record[zorvan::answer::image_path] = image_path.is_none() ? py::str("") : image_path;
    }
    record[zorvan::answer::generated_query] = item(state, zorvan::key::generated_sql_query);
    record[zorvan::answer::sql_execution_result] = item(state, zorvan::key::sql_execution_result);
    return record;
}

// Runs `step`, turning a C++ exception into the Python error it stands for,
// so that one handler sees every failure of the measured work.
template <typename Step>
void as_python_errors(Step&& step) {
    try {
        step();
    } catch (py::error_already_set&) {
        throw;
    } catch (py::builtin_exception& error) {
        error.set_error();
        throw py::error_already_set();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        throw py::error_already_set();
    }
}

bool is_instance(const py::handle& value, const char* name) {
    return py::isinstance(value, zorvan::imported_module(zorvan::dep::openai_module).attr(name));
}

std::string request_url(const py::handle& error) {
    py::object request = py::getattr(error, "request", py::none());
    return request.is_none() ? std::string("its endpoint") : std::string(py::str(request.attr("url")));
}

std::optional<bool> quiet_of(const py::object& agent) {
    if (agent.is_none()) return std::nullopt;
    return optional_flag(py::getattr(agent, "quiet", py::none()), "quiet");
}

}  // namespace

std::string failure_reason(const py::error_already_set& error) {
    py::handle value = error.value();
    if (is_instance(value, "APIStatusError")) {
        return "the chat model at " + request_url(value) + " answered with " +
               zorvan::reply_summary(value.attr("response"));
    }
    if (is_instance(value, "APITimeoutError")) {
        return "the chat model at " + request_url(value) +
               " did not answer in time (ZORVAN_MODEL_TIMEOUT seconds per request; a request and its retries "
               "stop after twice that)";
    }
    if (is_instance(value, "APIConnectionError")) {
        // The HTTP client's own error, at the end of the chain, says what happened.
        py::object cause = py::reinterpret_borrow<py::object>(value);
        while (!cause.attr("__cause__").is_none()) cause = cause.attr("__cause__");
        return "could not reach the chat model at " + request_url(value) + " (" + zorvan::type_name(cause) + ": " +
               std::string(py::str(cause)) + ")";
    }
    std::string message = py::str(value);
    if (py::isinstance(value, zorvan::error_class(zorvan::ErrorKind::ModelService)) && !message.empty()) {
        // Its message already names the service and what came back.
        message[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(message[0])));
        return message;
    }
    const auto end = message.find('\n');
    if (end != std::string::npos) message = message.substr(0, end);
    const std::string type = zorvan::type_name(value);
    return message.empty() ? type : type + ": " + message;
}

namespace {

// One question through the graph, errors left to the caller: the answer
// record, the usage, and whether a query could be run at all. A run that
// ends well is reported to the vendor service (on that model source only).
RunOutcome ask_graph(py::module_ m, const py::object& agent, const py::object& zorvan_api_key, const py::object& query,
                     const py::object& media_path) {
    py::dict inputs;
    inputs[zorvan::key::user_question] = query;
    inputs[zorvan::key::save_path] = media_path;
    RunOutcome outcome;
    Usage usage;
    {
        UsageScope meter(m);
        as_python_errors([&] {
            py::object final_state = agent.attr("invoke")(inputs);
            outcome.result = answer_record(final_state);
            usage = meter.usage(py::getattr(agent, "model_prices", py::dict()));
        });
    }
    outcome.total_tokens = py::int_(usage.tokens);
    outcome.total_cost = usage.cost ? py::object(py::float_(*usage.cost)) : py::object(py::str("unknown"));
    std::string priced = usage.cost ? "$" + zorvan::float_repr(*usage.cost) : "unknown";
    if (!usage.unpriced.empty()) {
        priced += " (no price for";
        for (const auto& model : usage.unpriced) priced += " " + model;
        priced += "; see ZORVAN_MODEL_PRICES)";
    }
    zorvan::package_logger().attr("info")("The question took %s tokens; cost %s", usage.tokens, priced);

    py::list results = py::dict(outcome.result)[zorvan::answer::sql_execution_result];
    const bool given_up = py::len(results) > 0 && py::str(results[py::int_(-1)]).equal(py::str(kSqlGivenUp));
    outcome.answered = !given_up;
    if (given_up) {
        outcome.reason = "no query could be run: the database refused every one of the " +
                         std::to_string(py::len(results) - 1) + " queries written for it";
    }
    if (std::string(py::str(py::getattr(agent, "model_provider", py::str("vendor")))) == "vendor") {
        zorvan::imported(zorvan::dep::zorvanai_api_send_user_question_later)(zorvan_api_key, query,
                                                                             outcome.total_tokens, outcome.total_cost);
    }
    return outcome;
}

// The package's exception for a failed run, with the original as its cause;
// errors of no known family are raised as they are.
[[noreturn]] void raise_as_package_error(py::error_already_set& error) {
    std::optional<zorvan::ErrorKind> kind;
    py::handle value = error.value();
    if (py::isinstance(value, zorvan::error_class(zorvan::ErrorKind::Package))) throw;
    if (is_instance(value, "OpenAIError") ||
        py::isinstance(value, zorvan::imported(zorvan::dep::langchain_core_exceptions_OutputParserException)) ||
        py::isinstance(value, zorvan::imported(zorvan::dep::pydantic_ValidationError))) {
        kind = zorvan::ErrorKind::ModelService;
    } else if (py::isinstance(value, zorvan::imported(zorvan::dep::sqlalchemy_exc_SQLAlchemyError))) {
        kind = zorvan::ErrorKind::Database;
    }
    if (!kind) throw;
    std::string message = failure_reason(error);
    if (!message.empty()) message[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(message[0])));
    py::object translated = zorvan::error_class(*kind)(message);
    translated.attr("__cause__") = value;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(translated.ptr())), translated.ptr());
    throw py::error_already_set();
}

}  // namespace

RunOutcome run_question(py::module_ m, const py::object& agent, const py::object& zorvan_api_key,
                        const py::object& query, const py::object& media_path, bool warn_on_failure) {
    zorvan::QuietScope scope(quiet_of(agent));
    zorvan::imported(zorvan::dep::os_makedirs)(media_path, py::arg("exist_ok") = true);
    if (agent.is_none()) {
        RunOutcome outcome;
        outcome.result = py::str(kNoOutput);
        outcome.reason = "no assistant was given (create_agent returned None)";
        return outcome;
    }
    try {
        return ask_graph(m, agent, zorvan_api_key, query, media_path);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        // The traceback goes to standard error, one line to standard output.
        zorvan::report_traceback(error);
        const std::string message = py::str(error.value());
        zorvan::say(py::str("An error occurred when running the agent: " + message));
        RunOutcome outcome;
        py::dict failed;
        failed[zorvan::answer::output] = py::str("An error occurred");
        outcome.result = failed;
        outcome.reason = failure_reason(error);
        // With the lines above sent to DEBUG, the application still hears of the failure.
        if (warn_on_failure && zorvan::quiet()) {
            zorvan::package_logger().attr("warning")("The question could not be answered: %s", outcome.reason);
        }
        return outcome;
    }
}

py::dict answer_question(py::module_ m, const py::object& agent, const py::object& zorvan_api_key,
                         const py::object& query, const py::object& media_path) {
    if (agent.is_none()) {
        zorvan::raise_error(zorvan::ErrorKind::Configuration,
                            "No assistant was given: create_agent returned None because the vendor service did not "
                            "list both chat deployments; check ZORVAN_API_URL or choose another model source");
    }
    zorvan::QuietScope scope(quiet_of(agent));
    zorvan::imported(zorvan::dep::os_makedirs)(media_path, py::arg("exist_ok") = true);
    RunOutcome outcome;
    try {
        outcome = ask_graph(m, agent, zorvan_api_key, query, media_path);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        raise_as_package_error(error);
    }
    if (!outcome.answered) {
        py::object refused = zorvan::error_class(zorvan::ErrorKind::Database)(outcome.reason);
        refused.attr("answer") = outcome.result;
        refused.attr("total_tokens") = outcome.total_tokens;
        refused.attr("total_cost") = outcome.total_cost;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(refused.ptr())), refused.ptr());
        throw py::error_already_set();
    }
    py::dict answered;
    answered["answer"] = outcome.result;
    answered["total_tokens"] = outcome.total_tokens;
    answered["total_cost"] = outcome.total_cost;
    return answered;
}

py::object make_answer_record_type(const std::string& module_name) {
    py::module_ typing = zorvan::imported_module(zorvan::dep::typing_module);
    py::object str_type = zorvan::imported(zorvan::dep::builtins_str);
    py::object not_required = typing.attr("NotRequired");
    py::object list_of_str = typing.attr("List")[str_type];
    py::dict fields;
    fields[zorvan::answer::output] = str_type;
    fields[zorvan::answer::python_code] = not_required[str_type];
    fields[zorvan::answer::image_path] = not_required[typing.attr("Optional")[str_type]];
    fields[zorvan::answer::generated_query] = not_required[list_of_str];
    fields[zorvan::answer::sql_execution_result] = not_required[list_of_str];
    py::object record = typing.attr("TypedDict")("AnswerRecord", fields);
    record.attr("__module__") = py::str(module_name);
    record.attr("__doc__") = py::str(
        R"(What run_agent returns for a question (a dict).

After a run every key is there: "output" (the answer), "python_code" (the analysis
script), "image_path" (the chart, or "" / None), "generated_query" (every SQL query,
oldest first) and "sql_execution_result" (every result). After an error only
"output" is there, holding "An error occurred".)");
    return record;
}

}  // namespace zorvanai::agent
