#include "nodes.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_relevant_schemas(const std::string& module_name, const Globals&) {
    zorvan::ClassBuilder builder("RelevantSchemas", module_name, runnable_base());
    builder.doc("Node that fetches the definitions of the relevant tables and opens a first-attempt generation.")
        .method(
            "__init__", "(self, db)",
            "Keep the table information tool over `db`.\n\n"
            "Args:\n"
            "    db: the database handle (CustomSQLDatabase).",
            [](py::object self, py::object db) {
                self.attr("tool") = sql_tool("InfoSQLDatabaseTool")(py::arg("db") = db);
            },
            py::arg("self"), py::arg("db"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Fetch the definitions of the relevant tables and open a first-attempt generation.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n"
            "    **kwargs: ignored.\n\n"
            "Returns:\n"
            "    {\"sql_generation_prompt_type\": \"generation\", \"schemas_from_relevant_tables\":\n"
            "    the CREATE TABLE texts of the state's relevant_tables}.\n\n"
            "Raises:\n"
            "    TypeError: state is not a mapping.",
            [](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                py::object names = py::str(",").attr("join")(item(state, zorvan::key::relevant_tables));
                py::object schemas = self.attr("tool").attr("_run")(py::arg("table_names") = names);
                py::dict update;
                update[zorvan::key::sql_generation_prompt_type] = py::str("generation");
                update[zorvan::key::schemas_from_relevant_tables] = schemas;
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
