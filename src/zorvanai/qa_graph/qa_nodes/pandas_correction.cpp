#include "nodes.hpp"
#include "pandas_prompts.hpp"
#include "texts.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_pandas_correction(const std::string& module_name, const Globals& globals) {
    zorvan::ClassBuilder builder("PandasCorrection", module_name, runnable_base());
    builder.doc("Runnable that has the chat model repair a failed analysis script.")
        .method(
            "__init__", "(self, model)", "Keep the structured model and the correction prompt.",
            [globals](py::object self, py::object model) {
                self.attr("model") = structured_model(model, globals, "PythonCodeInput");
                self.attr("template") = prompts_attr("PromptTemplate").attr("from_template")(kPandasCorrectionText);
            },
            py::arg("self"), py::arg("model"))
        .method(
            "generate_prompt", "(self, state)", "The correction text for the state's script and error.",
            [](py::object self, py::object state) {
                zorvan::require_mapping(state, "state");
                py::object question = chosen_question(state);
                return correction_prompt(self.attr("template"), question, state);
            },
            py::arg("self"), py::arg("state"))
        .method(
            "invoke", "(self, state, **kwargs)", "Return `pandas_code`: the repaired script.",
            [](py::object self, py::object state, py::kwargs) { return generate_script(self, state); }, py::arg("self"),
            py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
