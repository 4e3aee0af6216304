#include "routing.hpp"

#include "support.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

namespace {

// A condition on one flag of the state.
void def_flag_condition(py::module_& m, const char* name, const char* key, const char* when_true,
                        const char* when_false, const std::string& doc) {
    zorvan::def(
        m, name, "(state)", doc,
        [key, when_true, when_false](py::object state) {
            zorvan::require_mapping(state, "state");
            return py::str(truthy(item(state, key)) ? when_true : when_false);
        },
        py::arg("state"));
}

}  // namespace

void add_routing(py::module_& m) {
    zorvan::def(
        m, "initialisation", "(inputs)",
        "Entry node: writes the starting counters and empty lists into `inputs` and returns it.",
        [](py::object inputs) {
            zorvan::require_mapping(inputs, "inputs");
            inputs[py::str("iteration_count")] = py::int_(0);
            inputs[py::str("max_iterations")] = py::int_(5);
            inputs[py::str("rewrite_count")] = py::int_(0);
            inputs[py::str("rewritten_question")] = py::str("");
            inputs[py::str("generated_sql_query")] = py::list();
            inputs[py::str("execution_error")] = py::list();
            inputs[py::str("sql_execution_result")] = py::list();
            inputs[py::str("pandas_generation_prompt_type")] = py::str("generation");
            return inputs;
        },
        py::arg("inputs"));

    def_flag_condition(m, "sql_syntax_condition", "is_valid_syntax", "sql_execute", "sql_syntax_error",
                       "\"sql_execute\" when `is_valid_syntax` is true, else \"sql_syntax_error\".");
    def_flag_condition(m, "sql_execution_condition", "execution_success", "pandas_generation", "sql_execution_error",
                       "\"pandas_generation\" when the last query ran with rows, else \"sql_execution_error\".");
    def_flag_condition(m, "pandas_execution_condition", "python_execution_success", "final_response",
                       "pandas_execution_error",
                       "\"final_response\" when the script ran, else \"pandas_execution_error\".");
    def_flag_condition(m, "pandas_code_condition", "use_pandas_ai_flag", "use_pandas", "generate_response",
                       "\"use_pandas\" when `use_pandas_ai_flag` is true, else \"generate_response\".");

    zorvan::def(
        m, "pandas_error_handler_condition", "(state)",
        "\"regenerate_pandas_code\" while pandas attempts remain, else \"terminal_failure_response\".",
        [](py::object state) {
            zorvan::require_mapping(state, "state");
            py::object count = item(state, "iteration_count_pandas");
            py::object limit = item(state, "max_iterations_pandas");
            return py::str(less(count, limit) ? "regenerate_pandas_code" : "terminal_failure_response");
        },
        py::arg("state"));

    zorvan::def(
        m, "sql_error_handler_condition", "(state)",
        "Route after a failed query: \"regenerate_sql_query\", \"rewrite_query\" or \"terminal_failure_response\".",
        [](py::object state) {
            zorvan::require_mapping(state, "state");
            py::object count = item(state, "iteration_count");
            py::object limit = item(state, "max_iterations");
            const bool not_rewritten = equal(item(state, "rewrite_count"), py::int_(0));
            if (not_rewritten && less(count, limit)) return py::str("regenerate_sql_query");
            if (not_rewritten && equal(count, limit)) return py::str("rewrite_query");
            return py::str("terminal_failure_response");
        },
        py::arg("state"));

    zorvan::def(
        m, "handle_sql_error", "(state)",
        "Counts a failed query: another correction, the rewrite, or the final failure result.",
        [](py::object state) {
            zorvan::require_mapping(state, "state");
            py::object count = item(state, "iteration_count");
            const bool not_rewritten = equal(item(state, "rewrite_count"), py::int_(0));
            py::object limit = item(state, "max_iterations");
            py::dict update;
            if (not_rewritten && less(count, limit)) {
                update["iteration_count"] = py::int_(1);
                update["sql_generation_prompt_type"] = py::str("correction");
            } else if (not_rewritten && equal(count, limit)) {
                update["rewrite_count"] = py::int_(1);
            } else {
                py::list results;
                results.append(py::str("SQL generation failed after max iterations"));
                update["sql_execution_result"] = results;
                update["iteration_count"] = py::int_(0);
            }
            return update;
        },
        py::arg("state"));

    zorvan::def(
        m, "handle_pandas_error", "(state)", "Counts a failed script: another correction, or the final failure text.",
        [](py::object state) {
            zorvan::require_mapping(state, "state");
            py::object count = item(state, "iteration_count_pandas");
            py::object limit = item(state, "max_iterations_pandas");
            py::dict update;
            if (less(count, limit)) {
                update["iteration_count_pandas"] = py::int_(1);
                update["pandas_generation_prompt_type"] = py::str("correction");
            } else {
                update["python_executed_output"] = py::str("Python generation failed after max iterations");
                update["iteration_count_pandas"] = py::int_(0);
            }
            return update;
        },
        py::arg("state"));

    m.attr("MAX_ITERATIONS_PANDAS") = py::int_(kMaxIterationsPandas);
}

}  // namespace zorvanai::qa_nodes
