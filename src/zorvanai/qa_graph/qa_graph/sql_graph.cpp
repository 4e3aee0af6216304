#include "sql_graph.hpp"

#include "chat_client.hpp"
#include "graph_assembly.hpp"
#include "visualize.hpp"
#include "zorvan/explicit_signature.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_graph {

namespace {
constexpr const char* kNodesModule = "zorvanai.qa_graph.qa_nodes";
constexpr const char* kPickerModule = "zorvanai.function_calling.base";

bool is_whole_number(py::handle value) {
    return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
}

void init_graph(py::object self, py::object custom_sql_db, py::object config_35, py::object config_4,
                const std::string& module_name) {
    py::object state = py::module_::import(module_name.c_str()).attr("SQLState");
    self.attr("db") = custom_sql_db;
    self.attr("graph") = zorvan::import_attr("langgraph.graph", "StateGraph")(state);
    self.attr("runnable_config") = self.attr("_config_graph")();
    self.attr("relevant_tables_model") = make_chat_client(config_35, 8192);
    self.attr("sql_generation_model") = make_chat_client(config_4, 4096);
    self.attr("response_model") = make_chat_client(config_35, 4096);
    self.attr("pandas_code_model") = make_chat_client(config_35, 8192);
    self.attr("pandas_ai_model") = make_chat_client(config_35, 8192);
    self.attr("relevant_table_picker") = zorvan::import_attr(kPickerModule, "RelevantTablePicker")(
        py::arg("config") = config_35, py::arg("db") = custom_sql_db);
    self.attr("compiled_graph") = self.attr("_compile_graph")(self.attr("runnable_config"));
}

py::object config_graph(py::object, py::object metadata, py::object tags, py::object max_concurrency,
                        py::object recursion_limit) {
    if (!metadata.is_none() && !py::isinstance(metadata, zorvan::import_attr("collections.abc", "Mapping"))) {
        throw py::type_error("metadata must be a mapping or None, not " + zorvan::type_name(metadata));
    }
    if (!py::isinstance<py::list>(tags)) {
        throw py::type_error("tags must be a list, not " + zorvan::type_name(tags));
    }
    if (!max_concurrency.is_none() && !is_whole_number(max_concurrency)) {
        throw py::type_error("max_concurrency must be an int or None, not " + zorvan::type_name(max_concurrency));
    }
    if (!is_whole_number(recursion_limit)) {
        throw py::type_error("recursion_limit must be an int, not " + zorvan::type_name(recursion_limit));
    }
    // The configuration gets its own tag list: the default list is shared
    // by every call, and a run's tags must not leak into later graphs.
    return zorvan::import_attr("langchain_core.runnables", "RunnableConfig")(
        py::arg("metadata") = metadata, py::arg("tags") = zorvan::import_attr("builtins", "list")(tags),
        py::arg("max_concurrency") = max_concurrency, py::arg("recursion_limit") = recursion_limit);
}

py::object config_graph_signature() {
    py::module_ typing = py::module_::import("typing");
    py::object str_type = py::module_::import("builtins").attr("str");
    py::object int_type = py::module_::import("builtins").attr("int");
    py::list default_tags;
    default_tags.append("qa_graph");
    return zorvan::SignatureBuilder()
        .param("self")
        .param("metadata", py::none(), typing.attr("Dict"))
        .param("tags", default_tags, typing.attr("List")[str_type])
        .param("max_concurrency", py::int_(20), typing.attr("Optional")[int_type])
        .param("recursion_limit", py::int_(50), int_type)
        .returns(zorvan::import_attr("langchain_core.runnables", "RunnableConfig"))
        .build();
}

py::object invoke_graph(py::object self, py::object inputs) {
    zorvan::require_mapping(inputs, "inputs");
    py::dict record;
    for (auto item : py::dict(inputs)) record[item.first] = item.second;
    if (!record.contains("max_iterations_pandas")) {
        record["max_iterations_pandas"] = py::module_::import(kNodesModule).attr(kPandasBudgetName);
    }
    return self.attr("compiled_graph").attr("invoke")(record, py::arg("config") = self.attr("runnable_config"));
}
}  // namespace

py::object make_sql_graph_class(const std::string& module_name) {
    zorvan::ClassBuilder builder("SQLGraph", module_name, py::module_::import("builtins").attr("object"));
    builder.doc(
        "The question-answering graph of one database.\n\n"
        "Owns the database handle, five Azure OpenAI chat clients, the relevant-table\n"
        "picker, the compiled LangGraph state graph of thirteen nodes and its run\n"
        "settings (tag \"qa_graph\", at most 20 concurrent node calls, at most 50 steps).\n"
        "One object serves any number of questions, one invoke() per question.");

    builder.method(
        "__init__", "(self, custom_sql_db, config_35, config_4)",
        "Build the chat clients, the relevant-table picker and the compiled graph.\n\n"
        "custom_sql_db is the database handle, config_35 the settings of the lighter\n"
        "deployment (four clients and the picker), config_4 those of the stronger one\n"
        "(the SQL generation client). No chat model is called.",
        [module_name](py::object self, py::object db, py::object config_35, py::object config_4) {
            init_graph(self, db, config_35, config_4, module_name);
        },
        py::arg("self"), py::arg("custom_sql_db"), py::arg("config_35"), py::arg("config_4"));

    const char* config_doc =
        "Run settings for invoking the compiled graph.\n\n"
        "metadata must be a mapping or None, tags a list, max_concurrency an int or\n"
        "None, recursion_limit an int; anything else raises TypeError naming the\n"
        "argument. The configuration holds its own copy of tags.";
    builder.attr("_config_graph", zorvan::method_with_signature(
                                      "_config_graph", "SQLGraph", module_name, config_doc,
                                      zorvan::signed_function(
                                          "_config_graph", "(self, metadata, tags, max_concurrency, recursion_limit)",
                                          config_doc, &config_graph, py::arg("self"), py::arg("metadata"),
                                          py::arg("tags"), py::arg("max_concurrency"), py::arg("recursion_limit")),
                                      config_graph_signature()));

    builder.method(
        "_compile_graph", "(self, runnable_config)",
        "Add every node and edge to self.graph and return self.graph.compile().\n\n"
        "runnable_config is accepted and not used: the run settings are applied when\n"
        "the graph is invoked.",
        [](py::object self, py::object) { return assemble_and_compile(self); }, py::arg("self"),
        py::arg("runnable_config"));

    builder.method(
        "visualize_graph", "(self, visualization_type='ascii', save_graph_path='graph_visualization.png')",
        "Draw the compiled graph; always returns None.\n\n"
        "\"ascii\" prints a text drawing to standard output. Any other type renders a\n"
        "PNG through the remote Mermaid service and saves it to save_graph_path (format\n"
        "from the extension); errors reach the caller and then nothing is written.",
        [](py::object self, py::object visualization_type, py::object save_graph_path) {
            visualize(self.attr("compiled_graph"), visualization_type, save_graph_path);
        },
        py::arg("self"), py::arg("visualization_type") = "ascii",
        py::arg("save_graph_path") = "graph_visualization.png");

    builder.method("invoke", "(self, inputs)",
                   "Run one question through the graph and return the final state.\n\n"
                   "inputs is the input record, normally {\"user_question\": ..., \"save_path\": ...};\n"
                   "anything but a mapping raises TypeError before the graph runs. The caller's\n"
                   "mapping is not changed. When it holds no max_iterations_pandas, the run gets\n"
                   "the node module's MAX_ITERATIONS_PANDAS (3) as its budget of analysis-script\n"
                   "attempts; a value supplied by the caller wins. Errors of nodes and of the\n"
                   "graph engine (such as the 50-step recursion limit) reach the caller.",
                   &invoke_graph, py::arg("self"), py::arg("inputs"));

    return builder.build();
}

}  // namespace zorvanai::qa_graph
