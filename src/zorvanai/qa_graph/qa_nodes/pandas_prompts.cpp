#include "pandas_prompts.hpp"

#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::qa_nodes {

py::object correction_prompt(py::handle template_, py::handle question, py::handle state) {
    py::object code = item(state, zorvan::key::pandas_code);
    py::object error = item(state, zorvan::key::python_error_message);
    return template_.attr("format")(py::arg("user_question") = question, py::arg("python_code") = code,
                                    py::arg("error") = error);
}

py::dict generate_script(py::object self, py::object state) {
    zorvan::require_mapping(state, "state");
    py::object prompt = self.attr("generate_prompt")(state);
    py::object reply = self.attr("model").attr("invoke")(prompt);
    py::dict update;
    update[zorvan::key::pandas_code] = reply.attr("code");
    return update;
}

}  // namespace zorvanai::qa_nodes
