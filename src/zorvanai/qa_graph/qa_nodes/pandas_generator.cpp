#include "nodes.hpp"
#include "pandas_prompts.hpp"
#include "texts.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_pandas_generator(const std::string& module_name, const Globals& globals) {
    zorvan::ClassBuilder builder("PandasGenerator", module_name, runnable_base());
    builder.doc("Node that has the chat model write the analysis script, or repair the one that failed.")
        .method(
            "__init__", "(self, model)",
            "Keep the structured model, the generation prompt and the correction prompt.\n\n"
            "Args:\n"
            "    model: the chat model (AzureChatOpenAI).",
            [globals](py::object self, py::object model) {
                self.attr("model") = structured_model(model, globals, "PythonCodeInput");
                py::list messages;
                messages.append(prompts_attr("SystemMessagePromptTemplate")
                                    .attr("from_template")(globals["PANDAS_SYSTEM_TEMPLATE"],
                                                           py::arg("template_format") = "jinja2"));
                messages.append(prompts_attr("HumanMessagePromptTemplate")
                                    .attr("from_template")(globals["PANDAS_HUMAN_TEMPLATE"],
                                                           py::arg("template_format") = "jinja2"));
                self.attr("template") = chat_prompt(messages);
                self.attr("correction_template") =
                    prompts_attr("PromptTemplate").attr("from_template")(kPandasCorrectionText);
            },
            py::arg("self"), py::arg("model"))
        .method(
            "generate_prompt", "(self, state)",
            "Build the request: a first script or a correction.\n\n"
            "Chosen by the state's pandas_generation_prompt_type, \"generation\" or \"correction\".\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n\n"
            "Returns:\n"
            "    The chat messages for a first script, or the correction text.",
            [](py::object self, py::object state) -> py::object {
                zorvan::require_mapping(state, "state");
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
            },
            py::arg("self"), py::arg("state"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Have the chat model write the analysis script, or repair the one that failed.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n"
            "    **kwargs: ignored.\n\n"
            "Returns:\n"
            "    {\"pandas_code\": the script the model wrote}.\n\n"
            "Raises:\n"
            "    TypeError: state is not a mapping.",
            [](py::object self, py::object state, py::kwargs) { return generate_script(self, state); }, py::arg("self"),
            py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
