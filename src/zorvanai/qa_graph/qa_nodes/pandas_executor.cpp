#include <cstdlib>
#include <optional>

#include "nodes.hpp"
#include "script_runner.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

namespace {

constexpr const char* kTimeoutVariable = "ZORVAN_SCRIPT_TIMEOUT";

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

py::dict failure(const std::string& text) {
    py::dict update;
    update["python_execution_success"] = false;
    update["python_error_message"] = py::str(text);
    return update;
}

}  // namespace

py::object make_pandas_executor(const std::string& module_name, const Globals& globals) {
    zorvan::ClassBuilder builder("PandasExecutor", module_name, runnable_base());
    builder.doc("Node that runs the analysis script in-process with its printed output captured.")
        .method(
            "__init__", "(self, model)", "Keep the model and the script prompt (neither is used to run a script).",
            [globals](py::object self, py::object model) {
                self.attr("model") = model;
                py::list messages;
                messages.append(prompts_attr("HumanMessagePromptTemplate")
                                    .attr("from_template")(globals["PANDAS_SYSTEM_TEMPLATE"],
                                                           py::arg("template_format") = "jinja2"));
                self.attr("template") = chat_prompt(messages);
            },
            py::arg("self"), py::arg("model"))
        .method(
            "generate_prompt", "(self, state)",
            "The script prompt over (follow-up question, query, result) triples; not used by invoke.",
            [](py::object self, py::object state) {
                zorvan::require_mapping(state, "state");
                py::object zip = py::module_::import("builtins").attr("zip");
                py::list triples(zip(item(state, "follow_up_question"), item(state, "generated_sql_query"),
                                     item(state, "sql_execution_result")));
                return self.attr("template")
                    .attr("format_messages")(py::arg("original_question") = item(state, "original_question"),
                                             py::arg("zipped_queries_results") = triples,
                                             py::arg("save_path") = item(state, "save_path"));
            },
            py::arg("self"), py::arg("state"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Run `pandas_code`. Success: `python_executed_output` (what it printed) and `python_execution_success` "
            "True. Failure: `python_execution_success` False and `python_error_message` \"Type: message\".\n\n"
            "A script is stopped after SCRIPT_TIMEOUT_SECONDS of the module (default 120; None for no limit), or\n"
            "the seconds in the environment variable ZORVAN_SCRIPT_TIMEOUT when that is set.",
            [globals](py::object, py::object state, py::kwargs) -> py::dict {
                zorvan::require_mapping(state, "state");
                const std::optional<double> limit = script_time_limit(globals);
                py::dict namespace_;
                namespace_["datetime"] = py::module_::import("datetime");
                py::object tree;
                try {
                    tree =
                        py::module_::import("ast").attr("parse")(item(state, "pandas_code"), py::arg("mode") = "exec");
                } catch (py::error_already_set& error) {
                    if (!error.matches(PyExc_Exception)) throw;
                    return failure(error_text(error.value()));
                }
                ScriptOutcome outcome = run_script(tree, namespace_, limit);
                if (!outcome.success) return failure(outcome.error_text);
                py::dict update;
                update["python_executed_output"] = py::str(outcome.output);
                update["python_execution_success"] = true;
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
