#include "nodes.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

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
    zorvan::ClassBuilder builder("GenerateResponse", module_name, runnable_base());
    builder.doc("Final node: has the chat model word the answer from what the run collected.")
        .method(
            "__init__", "(self, model)",
            "Keep the model bound to GenerationOutput.\n\n"
            "Args:\n"
            "    model: the chat model (AzureChatOpenAI).",
            [globals](py::object self, py::object model) {
                self.attr("model") = structured_model(model, globals, "GenerationOutput");
            },
            py::arg("self"), py::arg("model"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Have the chat model word the answer from what the run collected.\n\n"
            "The request joins the question, the queries, the last result, the script and\n"
            "its output with the final-step prompt and the stored context and instructions.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n"
            "    **kwargs: ignored.\n\n"
            "After a failed script, while script attempts are left, the graph runs this node\n"
            "beside the pandas error handler and again later; that first run asks no model and\n"
            "keeps the state's answer.\n\n"
            "Returns:\n"
            "    {\"final_response\": the answer, \"image_path\": the chart path the model named}.\n\n"
            "Raises:\n"
            "    TypeError: state is not a mapping.",
            [globals](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                if (superseded(state)) {
                    py::dict kept;
                    kept[zorvan::key::final_response] =
                        py::reinterpret_borrow<py::object>(state).attr("get")(zorvan::key::final_response, "");
                    kept[zorvan::key::image_path] =
                        py::reinterpret_borrow<py::object>(state).attr("get")(zorvan::key::image_path, "");
                    return kept;
                }
                py::object values = globals["current_values"];
                print_line(py::str("hahahaha : ") + item(values, "custom_instructions"));
                log_info(globals, "Enter generate response");
                const double start = zorvan::wall_time();

                py::object prompt =
                    py::str("User question: ") + py::str(item(state, zorvan::key::user_question)) + py::str("\n");
                prompt = prompt + py::str("SQL query: ") + py::str(item(state, zorvan::key::generated_sql_query)) +
                         py::str("\n");
                prompt = prompt + py::str("SQL query result: ") +
                         py::str(item(state, zorvan::key::sql_execution_result)[py::int_(-1)]) + py::str("\n");
                prompt = prompt + py::str("Python code: ") + py::str(optional_text(state, zorvan::key::pandas_code)) +
                         py::str("\n");
                prompt = prompt + py::str("Python executed result: ") +
                         py::str(optional_text(state, zorvan::key::python_executed_output)) + py::str("\n");
                prompt = prompt + py::str("Use the above result to address user's question. \n");
                prompt = prompt + py::str(
                                      "use context and instructions below from the user to present your answer in the "
                                      "best way.Only the anwer part");
                prompt = prompt + globals["final_node_prompt"];
                prompt = prompt + py::str("use context and instructions below");
                prompt = prompt + item(values, "context_prompt");
                prompt = prompt + item(values, "custom_instructions");

                print_line(py::str("General Response prompt: ") + prompt);
                py::object reply = self.attr("model").attr("invoke")(prompt);
                log_info(globals,
                         "Finish generating response, took " + zorvan::float_repr(zorvan::wall_time() - start));
                py::dict update;
                update[zorvan::key::final_response] = reply.attr(zorvan::key::final_response);
                update[zorvan::key::image_path] = reply.attr(zorvan::key::image_path);
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
