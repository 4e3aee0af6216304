#include "setup.hpp"

#include <string>

#include "nodes.hpp"
#include "structured_output.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::qa_nodes {

namespace {
constexpr double kDefaultScriptTimeoutSeconds = 120.0;
}

void use_agg_backend() {
    zorvan::imported(zorvan::dep::matplotlib_use)("agg");
}

void import_prompt_templates(py::module_& m) {
    // The names `from zorvanai.qa_graph.qa_prompts import *` would bring.
    py::module_ prompts = zorvan::imported_module(zorvan::dep::zorvanai_qa_graph_qa_prompts_module);
    py::dict names = prompts.attr("__dict__");
    if (py::hasattr(prompts, "__all__")) {
        for (py::handle name : prompts.attr("__all__")) m.attr(name) = prompts.attr(name);
        return;
    }
    for (auto entry : names) {
        const std::string name = py::str(entry.first);
        if (!name.empty() && name[0] != '_') m.attr(entry.first) = entry.second;
    }
}

void add_settings(py::module_& m) {
    m.attr("SCRIPT_TIMEOUT_SECONDS") = py::float_(kDefaultScriptTimeoutSeconds);
    m.attr("logger") = zorvan::imported(zorvan::dep::loguru_logger);
}

void add_node_classes(py::module_& m) {
    const std::string name = py::str(m.attr("__name__"));
    const Globals globals = m.attr("__dict__");
    m.attr("StructuredOutput") = make_structured_output(name);
    m.attr("TableNamesLookup") = make_table_names_lookup(name, globals);
    m.attr("RelevantTableNames") = make_relevant_table_names(name, globals);
    m.attr("RelevantSchemas") = make_relevant_schemas(name, globals);
    m.attr("SQLGeneration") = make_sql_generation(name, globals);
    m.attr("SQLSyntaxChecker") = make_sql_syntax_checker(name, globals);
    m.attr("SQLExecution") = make_sql_execution(name, globals);
    m.attr("RewriteQuery") = make_rewrite_query(name, globals);
    m.attr("PandasGenerator") = make_pandas_generator(name, globals);
    m.attr("PandasCorrection") = make_pandas_correction(name, globals);
    m.attr("PandasExecutor") = make_pandas_executor(name, globals);
    m.attr("GenerateResponse") = make_generate_response(name, globals);
}

void import_context(py::module_& m) {
    py::module_ context = zorvan::imported_module(zorvan::dep::zorvanai_prompts_context_module);
    for (const char* name : {"context_prompt", "custom_instructions", "check_instructions", "read_values"}) {
        m.attr(name) = context.attr(name);
    }
    m.attr("final_node_prompt") = zorvan::imported(zorvan::dep::zorvanai_prompts_answer_prompt_final_node_prompt);
    // One snapshot per process: every final answer uses the values stored
    // when the module was loaded.
    m.attr("current_values") = m.attr("read_values")();
}

}  // namespace zorvanai::qa_nodes
