#include <pybind11/pybind11.h>

#include <utility>

#include "texts.hpp"

namespace py = pybind11;

PYBIND11_MODULE(qa_prompts, m) {
    m.doc() = "The fixed instruction texts and templates of the question-answering graph.";
    namespace t = zorvanai::qa_prompts;
    const std::pair<const char*, const char*> texts[] = {
        {"SQL_PREFIX", t::SQL_PREFIX},
        {"GET_RELEVANT_TABLE_NAMES_TEMPLATE", t::GET_RELEVANT_TABLE_NAMES_TEMPLATE},
        {"TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE", t::TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE},
        {"REWRITE_QUESTION_TEMPLATE", t::REWRITE_QUESTION_TEMPLATE},
        {"GENERATE_SQL_TEMPLATE", t::GENERATE_SQL_TEMPLATE},
        {"CORRECT_SQL_TEMPLATE", t::CORRECT_SQL_TEMPLATE},
        {"PANDAS_SYSTEM_TEMPLATE", t::PANDAS_SYSTEM_TEMPLATE},
        {"PANDAS_HUMAN_TEMPLATE", t::PANDAS_HUMAN_TEMPLATE}};
    py::list names;
    for (const auto& [name, text] : texts) {
        m.attr(name) = py::str(text);
        names.append(name);
    }
    m.attr("__all__") = names;
}
