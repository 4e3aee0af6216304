#include "sql_graph.hpp"

#include "chat_client.hpp"
#include "graph_assembly.hpp"
#include "visualize.hpp"
#include "zorvan/explicit_signature.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_graph {

namespace {
// The budget of pandas correction attempts that `SQLGraph.invoke` gives a
// question when the caller does not: the node module's
// MAX_ITERATIONS_PANDAS.
constexpr const char* kPandasBudgetName = "MAX_ITERATIONS_PANDAS";

bool is_whole_number(py::handle value) {
    return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
}

void init_graph(py::object self, py::object custom_sql_db, py::object config_35, py::object config_4,
                py::object config_pandas, const std::string& module_name) {
    py::object state = py::module_::import(module_name.c_str()).attr("SQLState");
    self.attr("db") = custom_sql_db;
    self.attr("graph") = zorvan::imported(zorvan::dep::langgraph_graph_StateGraph)(state);
    self.attr("runnable_config") = self.attr("_config_graph")();
    self.attr("relevant_tables_model") = make_chat_client(config_35, 8192);
    self.attr("sql_generation_model") = make_chat_client(config_4, 4096);
    self.attr("response_model") = make_chat_client(config_35, 4096);
    self.attr("pandas_code_model") = make_chat_client(config_pandas.is_none() ? config_35 : config_pandas, 8192);
    self.attr("pandas_ai_model") = make_chat_client(config_35, 8192);
    self.attr("relevant_table_picker") =
        zorvan::imported(zorvan::dep::zorvanai_function_calling_base_RelevantTablePicker)(
            py::arg("config") = config_35, py::arg("db") = custom_sql_db);
    self.attr("compiled_graph") = self.attr("_compile_graph")(self.attr("runnable_config"));
}

py::object config_graph(py::object, py::object metadata, py::object tags, py::object max_concurrency,
                        py::object recursion_limit) {
    if (!metadata.is_none() && !py::isinstance(metadata, zorvan::imported(zorvan::dep::collections_abc_Mapping))) {
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
    return zorvan::imported(zorvan::dep::langchain_core_runnables_RunnableConfig)(
        py::arg("metadata") = metadata, py::arg("tags") = zorvan::imported(zorvan::dep::builtins_list)(tags),
        py::arg("max_concurrency") = max_concurrency, py::arg("recursion_limit") = recursion_limit);
}

py::object config_graph_signature() {
    py::module_ typing = zorvan::imported_module(zorvan::dep::typing_module);
    py::object str_type = zorvan::imported(zorvan::dep::builtins_str);
    py::object int_type = zorvan::imported(zorvan::dep::builtins_int);
    py::list default_tags;
    default_tags.append("qa_graph");
    return zorvan::SignatureBuilder()
        .param("self")
        .param("metadata", py::none(), typing.attr("Dict"))
        .param("tags", default_tags, typing.attr("List")[str_type])
        .param("max_concurrency", py::int_(20), typing.attr("Optional")[int_type])
        .param("recursion_limit", py::int_(50), int_type)
        .returns(zorvan::imported(zorvan::dep::langchain_core_runnables_RunnableConfig))
        .build();
}

py::object invoke_graph(py::object self, py::object inputs) {
    zorvan::require_mapping(inputs, "inputs");
    py::dict record;
    for (auto item : py::dict(inputs)) record[item.first] = item.second;
    if (!record.contains(zorvan::key::max_iterations_pandas)) {
        record[zorvan::key::max_iterations_pandas] =
            zorvan::imported_module(zorvan::dep::zorvanai_qa_graph_qa_nodes_module).attr(kPandasBudgetName);
    }
    return self.attr("compiled_graph").attr("invoke")(record, py::arg("config") = self.attr("runnable_config"));
}
}  // namespace

py::object make_sql_graph_class(const std::string& module_name) {
    zorvan::ClassBuilder builder("SQLGraph", module_name, zorvan::imported(zorvan::dep::builtins_object));
    builder.doc(
        R"(The question-answering graph of one database.

Owns the database handle, five chat clients (Azure OpenAI, or ChatOpenAI for an
OpenAIChatSettings record), the relevant-table
picker, the compiled LangGraph state graph of thirteen nodes and its run
settings (tag "qa_graph", at most 20 concurrent node calls, at most 50 steps).
One object serves any number of questions, one invoke() per question.)");

    builder.method(
        "__init__", "(self, custom_sql_db, config_35, config_4, config_pandas=None)",
        R"(Build the chat clients, the relevant-table picker and the compiled graph.

No chat model is called here.

Args:
    custom_sql_db: the database handle (CustomSQLDatabase).
    config_35: settings of the lighter deployment (AzureOpenAIChat35): four chat
        clients and the relevant-table picker.
    config_4: settings of the stronger deployment (AzureOpenAIChat4): the SQL
        generation client.
    config_pandas: settings of the model that writes the analysis scripts; None
        takes config_35.

Raises:
    TypeError: a settings record holds a name the chat client does not accept.)",
        [module_name](py::object self, py::object db, py::object config_35, py::object config_4,
                      py::object config_pandas) {
            init_graph(self, db, config_35, config_4, config_pandas, module_name);
        },
        py::arg("self"), py::arg("custom_sql_db"), py::arg("config_35"), py::arg("config_4"),
        py::arg("config_pandas") = py::none());

    const char* config_doc =
        R"(Run settings for invoking the compiled graph.

Args:
    metadata: a mapping or None.
    tags: a list of tags (copied into the result).
    max_concurrency: most node calls at once, an int or None.
    recursion_limit: most steps of one run, an int.

Returns:
    A RunnableConfig with these four entries.

Raises:
    TypeError: an argument of another kind; the message names it.)";
    builder.attr("_config_graph", zorvan::method_with_signature(
                                      "_config_graph", "SQLGraph", module_name, config_doc,
                                      zorvan::signed_function(
                                          "_config_graph", "(self, metadata, tags, max_concurrency, recursion_limit)",
                                          config_doc, &config_graph, py::arg("self"), py::arg("metadata"),
                                          py::arg("tags"), py::arg("max_concurrency"), py::arg("recursion_limit")),
                                      config_graph_signature()));

    builder.method(
        "_compile_graph", "(self, runnable_config)",
        R"(Add every node and edge to self.graph and compile it.

Args:
    runnable_config: accepted and not used; the run settings are applied when
        the graph is invoked.

Returns:
    The compiled LangGraph state graph (self.graph.compile()).)",
        [](py::object self, py::object) { return assemble_and_compile(self); }, py::arg("self"),
        py::arg("runnable_config"));

    builder.method(
        "visualize_graph", "(self, visualization_type='ascii', save_graph_path='graph_visualization.png')",
        R"(Draw the compiled graph; always returns None.

Args:
    visualization_type: "ascii" prints a text drawing to standard output; any
        other value renders a PNG through the remote Mermaid service.
    save_graph_path: where the picture is saved (format from the extension).

Returns:
    None, always.

Raises:
    Exception: errors of the rendering service or of saving reach the caller;
        nothing is written then.)",
        [](py::object self, py::object visualization_type, py::object save_graph_path) {
            visualize(self.attr("compiled_graph"), visualization_type, save_graph_path);
        },
        py::arg("self"), py::arg("visualization_type") = "ascii",
        py::arg("save_graph_path") = "graph_visualization.png");

    builder.method("invoke", "(self, inputs)",
                   R"(Run one question through the graph and return the final state.

The caller's mapping is not changed. When it holds no max_iterations_pandas,
the run gets the node module's MAX_ITERATIONS_PANDAS (3) as its budget of
analysis-script attempts; a value supplied by the caller wins.

Args:
    inputs: the input record, normally {"user_question": ..., "save_path": ...}.

Returns:
    The final SQLState: every key that holds a value.

Raises:
    TypeError: inputs is not a mapping (before the graph runs).
    Exception: errors of nodes and of the graph engine (such as the 50-step
        recursion limit) reach the caller.)",
                   &invoke_graph, py::arg("self"), py::arg("inputs"));

    return builder.build();
}

}  // namespace zorvanai::qa_graph
