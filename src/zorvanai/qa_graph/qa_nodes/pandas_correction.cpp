#include "node_class.hpp"
#include "nodes.hpp"
#include "pandas_prompts.hpp"
#include "texts.hpp"

namespace zorvanai::qa_nodes {

py::object make_pandas_correction(const std::string& module_name, const Globals& globals) {
    return NodeClass("PandasCorrection", module_name,
                     "Runnable that has the chat model repair a failed analysis script.")
        .init_structured(globals, "PythonCodeInput", "Keep the structured model and the correction prompt.",
                         [](py::object self) {
                             self.attr("template") =
                                 prompts_attr("PromptTemplate").attr("from_template")(kPandasCorrectionText);
                         })
        .on_state("generate_prompt",
                  prompt_doc("Build the correction text for the state's script and its error.", "The correction text."),
                  [](py::object self, py::object state) {
                      py::object question = chosen_question(state);
                      return correction_prompt(self.attr("template"), question, state);
                  })
        .invoke(invoke_doc("Have the chat model repair the failed script.", R"({"pandas_code": the repaired script}.)"),
                generate_script)
        .build();
}

}  // namespace zorvanai::qa_nodes
