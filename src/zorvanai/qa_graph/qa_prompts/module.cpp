#include <pybind11/pybind11.h>

#include "texts.hpp"

namespace py = pybind11;

PYBIND11_MODULE(qa_prompts, m) {
    m.doc() = "The fixed instruction texts and templates of the question-answering graph.";
    namespace t = zorvanai::qa_prompts;
    py::list names;
    m.attr("SQL_PREFIX") = py::str(t::SQL_PREFIX);
    names.append("SQL_PREFIX");
    m.attr("GET_RELEVANT_TABLE_NAMES_TEMPLATE") = py::str(t::GET_RELEVANT_TABLE_NAMES_TEMPLATE);
    names.append("GET_RELEVANT_TABLE_NAMES_TEMPLATE");
    m.attr("TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE") = py::str(t::TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE);
    names.append("TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE");
    m.attr("REWRITE_QUESTION_TEMPLATE") = py::str(t::REWRITE_QUESTION_TEMPLATE);
    names.append("REWRITE_QUESTION_TEMPLATE");
    m.attr("GENERATE_SQL_TEMPLATE") = py::str(t::GENERATE_SQL_TEMPLATE);
    names.append("GENERATE_SQL_TEMPLATE");
    m.attr("CORRECT_SQL_TEMPLATE") = py::str(t::CORRECT_SQL_TEMPLATE);
    names.append("CORRECT_SQL_TEMPLATE");
    m.attr("PANDAS_SYSTEM_TEMPLATE") = py::str(t::PANDAS_SYSTEM_TEMPLATE);
    names.append("PANDAS_SYSTEM_TEMPLATE");
    m.attr("PANDAS_HUMAN_TEMPLATE") = py::str(t::PANDAS_HUMAN_TEMPLATE);
    names.append("PANDAS_HUMAN_TEMPLATE");
    m.attr("__all__") = names;
}
