#include <cstdlib>
#include <optional>

#include "node_class.hpp"
#include "nodes.hpp"
#include "script_runner.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/sandbox.hpp"

namespace zorvanai::qa_nodes {

namespace {

namespace sandbox = zorvan::sandbox;
using sandbox::kTimeoutVariable;

std::optional<double> positive_seconds(py::handle value, const std::string& what) {
    if (value.is_none()) return std::nullopt;
    const bool number =
        (py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)) && !py::isinstance<py::bool_>(value);
    if (number) {
        const double seconds = value.cast<double>();
        if (seconds > 0) return seconds;
    }
    throw py::value_error(what + " must be a positive number of seconds or None, not " + std::string(py::repr(value)));
}

// The time limit of one script: the environment variable when it is set,
// else the module's SCRIPT_TIMEOUT_SECONDS (None: no limit). Read at each
// call so that either can change between questions.
std::optional<double> script_time_limit(const Globals& globals) {
    const char* raw = std::getenv(kTimeoutVariable);
    if (raw != nullptr && *raw != '\0') {
        char* end = nullptr;
        const double seconds = std::strtod(raw, &end);
        if (end == raw || *end != '\0' || !(seconds > 0) || seconds != seconds) {
            throw py::value_error(std::string(kTimeoutVariable) + " must be a positive number of seconds, not '" + raw +
                                  "'");
        }
        return seconds;
    }
    return positive_seconds(globals["SCRIPT_TIMEOUT_SECONDS"], "SCRIPT_TIMEOUT_SECONDS");
}

// The script in-process, as before isolation existed (ZORVAN_SANDBOX=off).
ScriptOutcome run_in_process(const py::object& state, const std::optional<double>& limit) {
    py::dict namespace_;
    namespace_["datetime"] = zorvan::imported_module(zorvan::dep::datetime_module);
    py::object tree;
    try {
        tree =
            zorvan::imported(zorvan::dep::ast_parse)(item(state, zorvan::key::pandas_code), py::arg("mode") = "exec");
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return ScriptOutcome{false, "", zorvan::exception_text(error.value())};
    }
    return run_script(tree, namespace_, limit);
}

// The script as text; anything else fails here as the parser would fail on it.
py::object source_text(const py::object& code) {
    if (py::isinstance<py::str>(code)) return code;
    if (py::isinstance<py::bytes>(code)) return code.attr("decode")("utf-8");
    zorvan::imported(zorvan::dep::ast_parse)(code, py::arg("mode") = "exec");
    throw py::type_error("pandas_code must be a str, not " + zorvan::type_name(code));
}

std::optional<std::string> save_path_of(const py::object& state) {
    py::object path = state.attr("get")(zorvan::key::save_path);
    if (path.is_none()) return std::nullopt;
    return std::string(py::str(zorvan::imported(zorvan::dep::os_fspath)(path)));
}

py::dict failure(const std::string& text) {
    py::dict update = update_of(zorvan::key::python_execution_success, py::bool_(false));
    update[zorvan::key::python_error_message] = py::str(text);
    return update;
}

}  // namespace

py::object make_pandas_executor(const std::string& module_name, const Globals& globals) {
    return NodeClass("PandasExecutor", module_name,
                     "Node that runs the analysis script in an isolated process with its printed output captured.")
        .init(
            "(self, model)",
            args_doc("Keep the model and the script prompt (neither is used to run a script).",
                     {"model: the chat model (AzureChatOpenAI); kept, not called."}),
            [globals](py::object self, py::object model) {
                self.attr("model") = model;
                py::list messages;
                messages.append(
                    message_template("HumanMessagePromptTemplate", globals["PANDAS_SYSTEM_TEMPLATE"], true));
                self.attr("template") = chat_prompt(messages);
            },
            py::arg("model"))
        .on_state("generate_prompt",
                  route_doc(R"(Build the script prompt over (follow-up question, query, result) triples.

Not used by invoke; it reads original_question, which the graph state does not
declare.)",
                            "The chat messages (a list of BaseMessage).", "KeyError: a key it reads is missing."),
                  [](py::object self, py::object state) {
                      py::object zip = zorvan::imported(zorvan::dep::builtins_zip);
                      py::list triples(zip(item(state, zorvan::key::follow_up_question),
                                           item(state, zorvan::key::generated_sql_query),
                                           item(state, zorvan::key::sql_execution_result)));
                      return self.attr("template")
                          .attr("format_messages")(py::arg("original_question") = item(state, "original_question"),
                                                   py::arg("zipped_queries_results") = triples,
                                                   py::arg("save_path") = item(state, zorvan::key::save_path));
                  })
        .invoke(invoke_doc(R"(Run the state's pandas_code in an isolated process with its printed output captured.

The script runs in a fresh namespace (with ``datetime``) in a process forked from the
sandbox worker, with no network, no files but the interpreter's and save_path, and the
ZORVAN_SCRIPT_* limits (ZORVAN_SANDBOX=off runs it in-process instead). It is stopped
after SCRIPT_TIMEOUT_SECONDS of the module (default 120; None for no limit), or the
seconds in the environment variable ZORVAN_SCRIPT_TIMEOUT when that is set.)",
                           R"({"python_executed_output": what it printed, "python_execution_success": True},
or on any failure {"python_execution_success": False, "python_error_message":
"Type: message"}.)",
                           R"(ValueError: ZORVAN_SANDBOX or a ZORVAN_SCRIPT_* setting has a bad value.
KeyboardInterrupt: Ctrl-C while the script ran (the script was stopped).)"),
                [globals](py::object, py::object state) -> py::dict {
                    const std::optional<double> limit = script_time_limit(globals);
                    const sandbox::Mode mode = sandbox::mode_from_environment();
                    ScriptOutcome outcome;
                    if (mode == sandbox::Mode::off) {
                        sandbox::warn_in_process();
                        outcome = run_in_process(state, limit);
                    } else {
                        py::object code;
                        try {
                            code = source_text(item(state, zorvan::key::pandas_code));
                        } catch (py::error_already_set& error) {
                            if (!error.matches(PyExc_Exception)) throw;
                            return failure(zorvan::exception_text(error.value()));
                        }
                        const sandbox::Outcome run = sandbox::run_once(code.cast<std::string>(), save_path_of(state),
                                                                       sandbox::Limits::from_environment(limit), mode);
                        outcome = ScriptOutcome{run.success, run.output, run.error_text};
                    }
                    if (!outcome.success) return failure(outcome.error_text);
                    py::dict update;
                    update[zorvan::key::python_executed_output] = zorvan::utf8_text(outcome.output);
                    update[zorvan::key::python_execution_success] = true;
                    return update;
                })
        .build();
}

}  // namespace zorvanai::qa_nodes
