#include "node_class.hpp"
#include "nodes.hpp"
#include "texts.hpp"

namespace zorvanai::qa_nodes {

namespace {

// A state value that may be missing on the failure routes (no script was
// generated, or none ran): absent or None reads as empty text, so the user
// still gets an answer.
py::object optional_text(py::handle state, const char* key) {
    py::str name(key);
    if (!PySequence_Contains(state.ptr(), name.ptr())) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::str("");
    }
    py::object value = item(state, key);
    if (value.is_none()) return py::str("");
    return value;
}

// After a failed script the graph runs this node beside the pandas error
// handler, and runs it again once the handler has retried or given up; only
// that later answer is kept. The one beside the handler (the script failed
// and attempts are left) asks no model.
bool superseded(py::handle state) {
    py::object values = py::reinterpret_borrow<py::object>(state);
    py::object success = values.attr("get")(zorvan::key::python_execution_success);
    py::object count = values.attr("get")(zorvan::key::iteration_count_pandas);
    py::object budget = values.attr("get")(zorvan::key::max_iterations_pandas);
    if (!py::isinstance<py::bool_>(success) || success.cast<bool>() || count.is_none() || budget.is_none()) {
        return false;
    }
    return less(count, budget);
}

}  // namespace

py::object make_generate_response(const std::string& module_name, const Globals& globals) {
    return NodeClass("GenerateResponse", module_name,
                     "Final node: has the chat model word the answer from what the run collected.")
        .init_structured(globals, "GenerationOutput", "Keep the model bound to GenerationOutput.", [](py::object) {})
        .invoke(
            args_doc(R"(Have the chat model word the answer from what the run collected.

The request joins the question, the queries, the last result, the script and
its output with the final-step prompt and the stored context and instructions.)",
                     {kStateParam, kKwargsParam}) +
                R"(

After a failed script, while script attempts are left, the graph runs this node
beside the pandas error handler and again later; that first run asks no model and
keeps the state's answer.)" +
                section("Returns", R"({"final_response": the answer, "image_path": the chart path the model named}.)") +
                section("Raises", kNotMapping),
            [globals](py::object self, py::object state) {
                if (superseded(state)) {
                    py::dict kept;
                    kept[zorvan::key::final_response] =
                        py::reinterpret_borrow<py::object>(state).attr("get")(zorvan::key::final_response, "");
                    kept[zorvan::key::image_path] =
                        py::reinterpret_borrow<py::object>(state).attr("get")(zorvan::key::image_path, "");
                    return kept;
                }
                py::object values = globals["current_values"];
                print_line(py::str(kInstructionsLine) + item(values, "custom_instructions"));
                log_info(globals, kAnswerStartLog);
                const double start = zorvan::wall_time();

                py::dict parts;
                parts[zorvan::key::user_question] = py::str(item(state, zorvan::key::user_question));
                parts[zorvan::key::generated_sql_query] = py::str(item(state, zorvan::key::generated_sql_query));
                parts[zorvan::key::sql_execution_result] =
                    py::str(item(state, zorvan::key::sql_execution_result)[py::int_(-1)]);
                parts[zorvan::key::pandas_code] = py::str(optional_text(state, zorvan::key::pandas_code));
                parts[zorvan::key::python_executed_output] =
                    py::str(optional_text(state, zorvan::key::python_executed_output));
                parts["final_node_prompt"] = globals["final_node_prompt"];
                parts["context_prompt"] = item(values, "context_prompt");
                parts["custom_instructions"] = item(values, "custom_instructions");
                py::object prompt = fill_template(kAnswerRequest, parts);

                print_line(py::str(kAnswerPromptLine) + prompt);
                py::object reply = self.attr("model").attr("invoke")(prompt);
                log_info(globals, kAnswerTimeLog + zorvan::float_repr(zorvan::wall_time() - start));
                py::dict update;
                update[zorvan::key::final_response] = reply.attr(zorvan::key::final_response);
                update[zorvan::key::image_path] = reply.attr(zorvan::key::image_path);
                return update;
            })
        .build();
}

}  // namespace zorvanai::qa_nodes
