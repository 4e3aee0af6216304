#include "graph_assembly.hpp"

#include "zorvan/pyutil.hpp"

namespace zorvanai::qa_graph {

namespace {
constexpr const char* kNodesModule = "zorvanai.qa_graph.qa_nodes";

// The bound invoke of a node object built with the given keyword arguments.
py::object node_invoke(py::module_& nodes, const char* class_name, const py::dict& kwargs) {
    return nodes.attr(class_name)(**kwargs).attr("invoke");
}

py::dict routes(std::initializer_list<std::pair<const char*, const char*>> labels) {
    py::dict mapping;
    for (const auto& [label, node] : labels) mapping[label] = node;
    return mapping;
}
}  // namespace

py::object assemble_and_compile(py::handle sql_graph) {
    py::module_ nodes = py::module_::import(kNodesModule);
    py::object graph = sql_graph.attr("graph");
    py::object db = sql_graph.attr("db");
    py::object end = zorvan::import_attr("langgraph.graph", "END");
    py::object add_node = graph.attr("add_node");
    py::object add_edge = graph.attr("add_edge");
    py::object add_conditional_edges = graph.attr("add_conditional_edges");

    add_node("init_node", nodes.attr("initialisation"));
    graph.attr("set_entry_point")("init_node");

    add_node("table_names_lookup_node", node_invoke(nodes, "TableNamesLookup", py::dict(py::arg("db") = db)));
    add_edge("init_node", "table_names_lookup_node");

    add_node("relevant_table_names_node", sql_graph.attr("relevant_table_picker").attr("invoke"));
    add_edge("table_names_lookup_node", "relevant_table_names_node");

    add_node("relevant_schemas_node", node_invoke(nodes, "RelevantSchemas", py::dict(py::arg("db") = db)));
    add_edge("relevant_table_names_node", "relevant_schemas_node");

    add_node("sql_generation_node",
             node_invoke(nodes, "SQLGeneration",
                         py::dict(py::arg("db") = db, py::arg("model") = sql_graph.attr("sql_generation_model"))));
    add_edge("relevant_schemas_node", "sql_generation_node");

    add_node("rewrite_query_node",
             node_invoke(nodes, "RewriteQuery",
                         py::dict(py::arg("db") = db, py::arg("model") = sql_graph.attr("pandas_ai_model"))));
    add_edge("rewrite_query_node", "relevant_table_names_node");

    add_node("sql_syntax_checker_node",
             node_invoke(nodes, "SQLSyntaxChecker",
                         py::dict(py::arg("db") = db, py::arg("model") = sql_graph.attr("relevant_tables_model"))));
    add_edge("sql_generation_node", "sql_syntax_checker_node");

    add_node("sql_execution_node", node_invoke(nodes, "SQLExecution", py::dict(py::arg("db") = db)));
    add_edge("sql_syntax_checker_node", "sql_execution_node");

    add_node("pandas_generator_node",
             node_invoke(nodes, "PandasGenerator", py::dict(py::arg("model") = sql_graph.attr("pandas_code_model"))));
    add_node("pandas_executor_node",
             node_invoke(nodes, "PandasExecutor", py::dict(py::arg("model") = sql_graph.attr("pandas_ai_model"))));
    add_edge("pandas_generator_node", "pandas_executor_node");

    add_node("final_response_generation_node",
             node_invoke(nodes, "GenerateResponse", py::dict(py::arg("model") = sql_graph.attr("response_model"))));
    add_edge("final_response_generation_node", end);
    // Besides its conditional edges below: the final response is scheduled
    // after every script execution, also beside the error handler.
    add_edge("pandas_executor_node", "final_response_generation_node");

    add_node("pandas_error_handler_node", nodes.attr("handle_pandas_error"));
    add_conditional_edges("pandas_executor_node", nodes.attr("pandas_execution_condition"),
                          routes({{"final_response", "final_response_generation_node"},
                                  {"pandas_execution_error", "pandas_error_handler_node"}}));

    add_node("sql_error_handler_node", nodes.attr("handle_sql_error"));
    add_conditional_edges(
        "sql_execution_node", nodes.attr("sql_execution_condition"),
        routes({{"pandas_generation", "pandas_generator_node"}, {"sql_execution_error", "sql_error_handler_node"}}));
    add_conditional_edges("sql_error_handler_node", nodes.attr("sql_error_handler_condition"),
                          routes({{"regenerate_sql_query", "sql_generation_node"},
                                  {"terminal_failure_response", "final_response_generation_node"},
                                  {"rewrite_query", "rewrite_query_node"}}));
    add_conditional_edges("pandas_error_handler_node", nodes.attr("pandas_error_handler_condition"),
                          routes({{"regenerate_pandas_code", "pandas_generator_node"},
                                  {"terminal_failure_response", "final_response_generation_node"}}));

    return graph.attr("compile")();
}

}  // namespace zorvanai::qa_graph
