#include <pybind11/pybind11.h>

#include "ranker_binding.hpp"
#include "relevant_table_picker.hpp"
#include "zorvan/pyutil.hpp"

namespace py = pybind11;

PYBIND11_MODULE(base, m) {
    m.doc() = "Relevant-table picking through a function call of the chat model.";
    zorvan::import_langchain_community();
    const std::string name = py::str(m.attr("__name__"));
    m.attr("RelevantTablePicker") = zorvanai::function_calling::make_relevant_table_picker_class(name);
    zorvanai::function_calling::register_ranker(m);
}
