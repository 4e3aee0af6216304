#include <pybind11/pybind11.h>

#include "text.hpp"

namespace py = pybind11;

PYBIND11_MODULE(answer_prompt, m) {
    m.doc() = "The final-step instruction text of the answer.";
    m.attr("final_node_prompt") = py::str(zorvanai::answer_prompt::final_node_prompt);
    m.attr("__all__") = py::make_tuple("final_node_prompt");
}
