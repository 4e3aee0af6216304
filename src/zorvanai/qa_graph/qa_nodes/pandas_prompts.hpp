// Pieces shared by the two analysis-script nodes.
#pragma once

#include "support.hpp"

namespace zorvanai::qa_nodes {

// The correction prompt for `state`: `template` (a PromptTemplate of the
// correction text) filled with the chosen question, `pandas_code` and
// `python_error_message`, read in that order.
py::object correction_prompt(py::handle template_, py::handle question, py::handle state);

// `invoke` of both nodes: the model's script under `pandas_code`.
py::dict generate_script(py::object self, py::object state);

}  // namespace zorvanai::qa_nodes
