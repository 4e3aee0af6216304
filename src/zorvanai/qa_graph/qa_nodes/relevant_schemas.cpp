#include "nodes.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_relevant_schemas(const std::string& module_name, const Globals&) {
    zorvan::ClassBuilder builder("RelevantSchemas", module_name, runnable_base());
    builder.doc("Node that fetches the definitions of the relevant tables and opens a first-attempt generation.")
        .method(
            "__init__", "(self, db)", "Keep the table information tool over `db`.",
            [](py::object self, py::object db) {
                self.attr("tool") = sql_tool("InfoSQLDatabaseTool")(py::arg("db") = db);
            },
            py::arg("self"), py::arg("db"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Return `sql_generation_prompt_type` \"generation\" and `schemas_from_relevant_tables`.",
            [](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                py::object names = py::str(",").attr("join")(item(state, "relevant_tables"));
                py::object schemas = self.attr("tool").attr("_run")(py::arg("table_names") = names);
                py::dict update;
                update["sql_generation_prompt_type"] = py::str("generation");
                update["schemas_from_relevant_tables"] = schemas;
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
