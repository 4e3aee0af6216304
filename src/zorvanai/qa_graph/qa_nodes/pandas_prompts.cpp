#include "pandas_prompts.hpp"

#include "zorvan/pyutil.hpp"

namespace zorvanai::qa_nodes {

py::object correction_prompt(py::handle template_, py::handle question, py::handle state) {
    py::object code = item(state, "pandas_code");
    py::object error = item(state, "python_error_message");
    return template_.attr("format")(py::arg("user_question") = question, py::arg("python_code") = code,
                                    py::arg("error") = error);
}

py::dict generate_script(py::object self, py::object state) {
    zorvan::require_mapping(state, "state");
    py::object prompt = self.attr("generate_prompt")(state);
    py::object reply = self.attr("model").attr("invoke")(prompt);
    py::dict update;
    update["pandas_code"] = reply.attr("code");
    return update;
}

}  // namespace zorvanai::qa_nodes
