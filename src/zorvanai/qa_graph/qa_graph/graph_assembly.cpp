#include "graph_assembly.hpp"

#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::qa_graph {

namespace {

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
    py::module_ nodes = zorvan::imported_module(zorvan::dep::zorvanai_qa_graph_qa_nodes_module);
    py::object graph = sql_graph.attr("graph");
    py::object db = sql_graph.attr("db");
    py::object end = zorvan::imported(zorvan::dep::langgraph_graph_END);
    py::object add_node = graph.attr("add_node");
    py::object add_edge = graph.attr("add_edge");
    py::object add_conditional_edges = graph.attr("add_conditional_edges");

    add_node(zorvan::node::init, nodes.attr("initialisation"));
    graph.attr("set_entry_point")(zorvan::node::init);

    add_node(zorvan::node::table_names_lookup, node_invoke(nodes, "TableNamesLookup", py::dict(py::arg("db") = db)));
    add_edge(zorvan::node::init, zorvan::node::table_names_lookup);

    add_node(zorvan::node::relevant_table_names, sql_graph.attr("relevant_table_picker").attr("invoke"));
    add_edge(zorvan::node::table_names_lookup, zorvan::node::relevant_table_names);

    add_node(zorvan::node::relevant_schemas, node_invoke(nodes, "RelevantSchemas", py::dict(py::arg("db") = db)));
    add_edge(zorvan::node::relevant_table_names, zorvan::node::relevant_schemas);

    add_node(zorvan::node::sql_generation,
             node_invoke(nodes, "SQLGeneration",
                         py::dict(py::arg("db") = db, py::arg("model") = sql_graph.attr("sql_generation_model"))));
    add_edge(zorvan::node::relevant_schemas, zorvan::node::sql_generation);

    add_node(zorvan::node::rewrite_query,
             node_invoke(nodes, "RewriteQuery",
                         py::dict(py::arg("db") = db, py::arg("model") = sql_graph.attr("pandas_ai_model"))));
    add_edge(zorvan::node::rewrite_query, zorvan::node::relevant_table_names);

    add_node(zorvan::node::sql_syntax_checker,
             node_invoke(nodes, "SQLSyntaxChecker",
                         py::dict(py::arg("db") = db, py::arg("model") = sql_graph.attr("relevant_tables_model"))));
    add_edge(zorvan::node::sql_generation, zorvan::node::sql_syntax_checker);

    add_node(zorvan::node::sql_execution, node_invoke(nodes, "SQLExecution", py::dict(py::arg("db") = db)));
    add_edge(zorvan::node::sql_syntax_checker, zorvan::node::sql_execution);

    add_node(zorvan::node::pandas_generator,
             node_invoke(nodes, "PandasGenerator", py::dict(py::arg("model") = sql_graph.attr("pandas_code_model"))));
    add_node(zorvan::node::pandas_executor,
             node_invoke(nodes, "PandasExecutor", py::dict(py::arg("model") = sql_graph.attr("pandas_ai_model"))));
    add_edge(zorvan::node::pandas_generator, zorvan::node::pandas_executor);

    add_node(zorvan::node::final_response_generation,
             node_invoke(nodes, "GenerateResponse", py::dict(py::arg("model") = sql_graph.attr("response_model"))));
    add_edge(zorvan::node::final_response_generation, end);
    // Besides its conditional edges below: the final response is scheduled
    // after every script execution, also beside the error handler.
    add_edge(zorvan::node::pandas_executor, zorvan::node::final_response_generation);

    add_node(zorvan::node::pandas_error_handler, nodes.attr("handle_pandas_error"));
    add_conditional_edges(zorvan::node::pandas_executor, nodes.attr("pandas_execution_condition"),
                          routes({{zorvan::key::final_response, zorvan::node::final_response_generation},
                                  {zorvan::route::pandas_execution_error, zorvan::node::pandas_error_handler}}));

    add_node(zorvan::node::sql_error_handler, nodes.attr("handle_sql_error"));
    add_conditional_edges(zorvan::node::sql_execution, nodes.attr("sql_execution_condition"),
                          routes({{zorvan::route::pandas_generation, zorvan::node::pandas_generator},
                                  {zorvan::route::sql_execution_error, zorvan::node::sql_error_handler}}));
    add_conditional_edges(zorvan::node::sql_error_handler, nodes.attr("sql_error_handler_condition"),
                          routes({{zorvan::route::regenerate_sql_query, zorvan::node::sql_generation},
                                  {zorvan::route::terminal_failure_response, zorvan::node::final_response_generation},
                                  {zorvan::route::rewrite_query, zorvan::node::rewrite_query}}));
    add_conditional_edges(
        zorvan::node::pandas_error_handler, nodes.attr("pandas_error_handler_condition"),
        routes({{zorvan::route::regenerate_pandas_code, zorvan::node::pandas_generator},
                {zorvan::route::terminal_failure_response, zorvan::node::final_response_generation}}));

    return graph.attr("compile")();
}

}  // namespace zorvanai::qa_graph
