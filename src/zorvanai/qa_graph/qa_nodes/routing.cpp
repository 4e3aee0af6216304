#include "routing.hpp"

#include "node_class.hpp"
#include "texts.hpp"

namespace zorvanai::qa_nodes {

namespace {

constexpr const char* kCounterMissing = "KeyError: a counter is missing.";

// A condition on one flag of the state.
void def_flag_condition(py::module_& m, const char* name, const char* key, const char* when_true,
                        const char* when_false, const std::string& summary) {
    const std::string returns =
        std::string("\"") + when_true + "\" when `" + key + "` is true, else \"" + when_false + "\".";
    def_on_state(m, name, route_doc(summary, returns, std::string("KeyError: `") + key + "` is missing."),
                 [key, when_true, when_false](py::object state) {
                     return py::str(truthy(item(state, key)) ? when_true : when_false);
                 });
}

}  // namespace

void add_routing(py::module_& m) {
    zorvan::def(
        m, "initialisation", "(inputs)",
        R"(Entry node: write the starting counters and empty lists into ``inputs``.

Sets iteration_count 0, max_iterations 5, rewrite_count 0, rewritten_question "",
empty generated_sql_query, execution_error and sql_execution_result lists, and
pandas_generation_prompt_type "generation".

Args:
    inputs: the input record (changed in place).

Returns:
    The same mapping, as the node's update.

Raises:
    TypeError: inputs is not a mapping.)",
        [](py::object inputs) {
            zorvan::require_mapping(inputs, "inputs");
            inputs[py::str(zorvan::key::iteration_count)] = py::int_(0);
            inputs[py::str(zorvan::key::max_iterations)] = py::int_(5);
            inputs[py::str(zorvan::key::rewrite_count)] = py::int_(0);
            inputs[py::str(zorvan::key::rewritten_question)] = py::str("");
            inputs[py::str(zorvan::key::generated_sql_query)] = py::list();
            inputs[py::str(zorvan::key::execution_error)] = py::list();
            inputs[py::str(zorvan::key::sql_execution_result)] = py::list();
            inputs[py::str(zorvan::key::pandas_generation_prompt_type)] = py::str("generation");
            return inputs;
        },
        py::arg("inputs"));

    def_flag_condition(m, "sql_syntax_condition", "is_valid_syntax", "sql_execute", "sql_syntax_error",
                       "Route after a syntax check (not wired into the graph).");
    def_flag_condition(m, "sql_execution_condition", zorvan::key::execution_success, zorvan::route::pandas_generation,
                       zorvan::route::sql_execution_error,
                       "Route after a query ran: on to the script when it gave rows.");
    def_flag_condition(m, "pandas_execution_condition", zorvan::key::python_execution_success,
                       zorvan::route::final_response, zorvan::route::pandas_execution_error,
                       "Route after the script ran: on to the answer when it succeeded.");
    def_flag_condition(m, "pandas_code_condition", zorvan::key::use_pandas_ai_flag, "use_pandas", "generate_response",
                       "Route on whether the question needs a script (not wired into the graph).");

    def_on_state(m, "pandas_error_handler_condition",
                 route_doc("Route after a failed script: another attempt, or the final answer.",
                           R"("regenerate_pandas_code" while iteration_count_pandas is below
max_iterations_pandas, else "terminal_failure_response".)",
                           kCounterMissing),
                 [](py::object state) {
                     py::object count = item(state, zorvan::key::iteration_count_pandas);
                     py::object limit = item(state, zorvan::key::max_iterations_pandas);
                     return py::str(less(count, limit) ? zorvan::route::regenerate_pandas_code
                                                       : zorvan::route::terminal_failure_response);
                 });

    def_on_state(m, "sql_error_handler_condition",
                 route_doc("Route after a failed query: correct it, rewrite the question, or give up.",
                           R"("regenerate_sql_query" while iteration_count is below max_iterations and the
question was not rewritten, "rewrite_query" when the count reaches the limit
before any rewrite, else "terminal_failure_response".)",
                           kCounterMissing),
                 [](py::object state) {
                     py::object count = item(state, zorvan::key::iteration_count);
                     py::object limit = item(state, zorvan::key::max_iterations);
                     const bool not_rewritten = equal(item(state, zorvan::key::rewrite_count), py::int_(0));
                     if (not_rewritten && less(count, limit)) return py::str(zorvan::route::regenerate_sql_query);
                     if (not_rewritten && equal(count, limit)) return py::str(zorvan::route::rewrite_query);
                     return py::str(zorvan::route::terminal_failure_response);
                 });

    def_on_state(m, "handle_sql_error",
                 route_doc("Error node for a failed query: count the attempt and prepare the next route.",
                           R"({"iteration_count": 1, "sql_generation_prompt_type": "correction"} for another
correction; {"rewrite_count": 1} for the rewrite; or, once that is used up,
{"sql_execution_result": ["SQL generation failed after max iterations"],
"iteration_count": 0}.)",
                           kCounterMissing),
                 [](py::object state) {
                     py::object count = item(state, zorvan::key::iteration_count);
                     const bool not_rewritten = equal(item(state, zorvan::key::rewrite_count), py::int_(0));
                     py::object limit = item(state, zorvan::key::max_iterations);
                     py::dict update;
                     if (not_rewritten && less(count, limit)) {
                         update[zorvan::key::iteration_count] = py::int_(1);
                         update[zorvan::key::sql_generation_prompt_type] = py::str("correction");
                     } else if (not_rewritten && equal(count, limit)) {
                         update[zorvan::key::rewrite_count] = py::int_(1);
                     } else {
                         py::list results;
                         results.append(py::str(kSqlAttemptsUsedUp));
                         update[zorvan::key::sql_execution_result] = results;
                         update[zorvan::key::iteration_count] = py::int_(0);
                     }
                     return update;
                 });

    def_on_state(m, "handle_pandas_error",
                 route_doc("Error node for a failed script: count the attempt or give up.",
                           R"({"iteration_count_pandas": 1, "pandas_generation_prompt_type": "correction"}
while attempts remain, else {"python_executed_output": "Python generation failed
after max iterations", "iteration_count_pandas": 0}.)",
                           kCounterMissing),
                 [](py::object state) {
                     py::object count = item(state, zorvan::key::iteration_count_pandas);
                     py::object limit = item(state, zorvan::key::max_iterations_pandas);
                     py::dict update;
                     if (less(count, limit)) {
                         update[zorvan::key::iteration_count_pandas] = py::int_(1);
                         update[zorvan::key::pandas_generation_prompt_type] = py::str("correction");
                     } else {
                         update[zorvan::key::python_executed_output] = py::str(kPythonAttemptsUsedUp);
                         update[zorvan::key::iteration_count_pandas] = py::int_(0);
                     }
                     return update;
                 });

    m.attr("MAX_ITERATIONS_PANDAS") = py::int_(kMaxIterationsPandas);
}

}  // namespace zorvanai::qa_nodes
