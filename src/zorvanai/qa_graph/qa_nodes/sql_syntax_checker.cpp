#include "nodes.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_sql_syntax_checker(const std::string& module_name, const Globals&) {
    zorvan::ClassBuilder builder("SQLSyntaxChecker", module_name, runnable_base());
    builder.doc("Node that has the chat model double-check the newest query and puts its reply in the query's place.")
        .method(
            "__init__", "(self, db, model)",
            "Keep the query checker tool over `db` and `model`.\n\n"
            "Args:\n"
            "    db: the database handle (CustomSQLDatabase).\n"
            "    model: the chat model (AzureChatOpenAI).",
            [](py::object self, py::object db, py::object model) {
                self.attr("tool") = sql_tool("QuerySQLCheckerTool")(py::arg("db") = db, py::arg("llm") = model);
            },
            py::arg("self"), py::arg("db"), py::arg("model"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Have the chat model double-check the newest query.\n\n"
            "The reply replaces the last item of the state's generated_sql_query list in\n"
            "place, so later nodes run the checked query.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n"
            "    **kwargs: ignored.\n\n"
            "Returns:\n"
            "    {} (the change is made in place).\n\n"
            "Raises:\n"
            "    TypeError: state is not a mapping.",
            [](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                // The list held by the state is changed itself: later nodes
                // and the final state see the checked text.
                py::object queries = item(state, zorvan::key::generated_sql_query);
                py::object last = queries[py::int_(-1)];
                py::object checked = self.attr("tool").attr("_run")(py::arg("query") = last);
                queries[py::int_(-1)] = checked;
                return py::dict();
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
