#include "node_class.hpp"
#include "nodes.hpp"

namespace zorvanai::qa_nodes {

py::object make_sql_syntax_checker(const std::string& module_name, const Globals&) {
    return NodeClass(
               "SQLSyntaxChecker", module_name,
               "Node that has the chat model double-check the newest query and puts its reply in the query's place.")
        .init_db_model("Keep the query checker tool over `db` and `model`.",
                       [](py::object self, py::object db, py::object model) {
                           self.attr("tool") =
                               sql_tool("QuerySQLCheckerTool")(py::arg("db") = db, py::arg("llm") = model);
                       })
        .invoke(invoke_doc(R"(Have the chat model double-check the newest query.

The reply replaces the last item of the state's generated_sql_query list in
place, so later nodes run the checked query.)",
                           "{} (the change is made in place)."),
                [](py::object self, py::object state) {
                    // The list held by the state is changed itself: later
                    // nodes and the final state see the checked text.
                    py::object queries = item(state, zorvan::key::generated_sql_query);
                    py::object last = queries[py::int_(-1)];
                    queries[py::int_(-1)] = self.attr("tool").attr("_run")(py::arg("query") = last);
                    return py::dict();
                })
        .build();
}

}  // namespace zorvanai::qa_nodes
