#include "node_class.hpp"
#include "nodes.hpp"
#include "pandas_prompts.hpp"
#include "texts.hpp"

namespace zorvanai::qa_nodes {

namespace {
// The first script's request (both templates in Jinja2) and the correction text.
void keep_prompts(py::object self, const Globals& globals) {
    py::list messages;
    messages.append(message_template("SystemMessagePromptTemplate", globals["PANDAS_SYSTEM_TEMPLATE"], true));
    messages.append(message_template("HumanMessagePromptTemplate", globals["PANDAS_HUMAN_TEMPLATE"], true));
    self.attr("template") = chat_prompt(messages);
    self.attr("correction_template") = prompts_attr("PromptTemplate").attr("from_template")(kPandasCorrectionText);
}
}  // namespace

py::object make_pandas_generator(const std::string& module_name, const Globals& globals) {
    return NodeClass("PandasGenerator", module_name,
                     "Node that has the chat model write the analysis script, or repair the one that failed.")
        .init_structured(globals, "PythonCodeInput",
                         "Keep the structured model, the generation prompt and the correction prompt.",
                         [globals](py::object self) { keep_prompts(self, globals); })
        .on_state(
            "generate_prompt",
            prompt_doc(R"(Build the request: a first script or a correction.

Chosen by the state's pandas_generation_prompt_type, "generation" or "correction".)",
                       "The chat messages for a first script, or the correction text."),
            [](py::object self, py::object state) -> py::object {
                py::object question = chosen_question(state);
                py::object kind = item(state, zorvan::key::pandas_generation_prompt_type);
                if (equal(kind, py::str("generation"))) {
                    py::list pairs = zip_lists(item(state, zorvan::key::generated_sql_query),
                                               item(state, zorvan::key::sql_execution_result));
                    py::object save_path = item(state, zorvan::key::save_path);
                    return self.attr("template")
                        .attr("format_messages")(py::arg("original_question") = question,
                                                 py::arg("zipped_queries_results") = pairs,
                                                 py::arg("save_path") = save_path);
                }
                if (equal(kind, py::str("correction"))) {
                    return correction_prompt(self.attr("correction_template"), question, state);
                }
                throw py::value_error("pandas_generation_prompt_type must be \"generation\" or \"correction\", not " +
                                      std::string(py::repr(kind)));
            })
        .invoke(invoke_doc("Have the chat model write the analysis script, or repair the one that failed.",
                           R"({"pandas_code": the script the model wrote}.)"),
                generate_script)
        .build();
}

}  // namespace zorvanai::qa_nodes
