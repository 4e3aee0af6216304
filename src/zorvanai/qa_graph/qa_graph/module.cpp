#include <pybind11/pybind11.h>

#include "sql_graph.hpp"
#include "state.hpp"

namespace py = pybind11;

PYBIND11_MODULE(qa_graph, m) {
    m.doc() = "The question-answering graph: its state record and SQLGraph.";
    const std::string name = py::str(m.attr("__name__"));

    py::module_ typing = py::module_::import("typing");
    m.attr("operator") = py::module_::import("operator");
    for (const char* typing_name : {"Annotated", "Dict", "List", "Optional", "TypedDict"}) {
        m.attr(typing_name) = typing.attr(typing_name);
    }
    m.attr("StateGraph") = py::module_::import("langgraph.graph").attr("StateGraph");
    m.attr("END") = py::module_::import("langgraph.graph").attr("END");
    m.attr("RunnableConfig") = py::module_::import("langchain_core.runnables").attr("RunnableConfig");
    m.attr("AzureChatOpenAI") = py::module_::import("langchain_openai").attr("AzureChatOpenAI");

    // The graph's nodes; loaded with the graph module.
    py::module_::import("zorvanai.qa_graph.qa_nodes");
    m.attr("RelevantTablePicker") = py::module_::import("zorvanai.function_calling.base").attr("RelevantTablePicker");

    m.attr("SQLState") = zorvanai::qa_graph::make_sql_state(name);
    m.attr("SQLGraph") = zorvanai::qa_graph::make_sql_graph_class(name);
}
