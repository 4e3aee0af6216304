#include "nodes.hpp"
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

}  // namespace

py::object make_generate_response(const std::string& module_name, const Globals& globals) {
    zorvan::ClassBuilder builder("GenerateResponse", module_name, runnable_base());
    builder.doc("Final node: has the chat model word the answer from what the run collected.")
        .method(
            "__init__", "(self, model)", "Keep the model bound to GenerationOutput.",
            [globals](py::object self, py::object model) {
                self.attr("model") = structured_model(model, globals, "GenerationOutput");
            },
            py::arg("self"), py::arg("model"))
        .method(
            "invoke", "(self, state, **kwargs)", "Return `final_response` and `image_path` from the model's answer.",
            [globals](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                py::object values = globals["current_values"];
                print_line(py::str("hahahaha : ") + item(values, "custom_instructions"));
                log_info(globals, "Enter generate response");
                const double start = zorvan::wall_time();

                py::object prompt = py::str("User question: ") + py::str(item(state, "user_question")) + py::str("\n");
                prompt = prompt + py::str("SQL query: ") + py::str(item(state, "generated_sql_query")) + py::str("\n");
                prompt = prompt + py::str("SQL query result: ") +
                         py::str(item(state, "sql_execution_result")[py::int_(-1)]) + py::str("\n");
                prompt =
                    prompt + py::str("Python code: ") + py::str(optional_text(state, "pandas_code")) + py::str("\n");
                prompt = prompt + py::str("Python executed result: ") +
                         py::str(optional_text(state, "python_executed_output")) + py::str("\n");
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
                update["final_response"] = reply.attr("final_response");
                update["image_path"] = reply.attr("image_path");
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
