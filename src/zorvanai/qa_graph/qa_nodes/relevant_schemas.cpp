#include "node_class.hpp"
#include "nodes.hpp"

namespace zorvanai::qa_nodes {

py::object make_relevant_schemas(const std::string& module_name, const Globals&) {
    return NodeClass("RelevantSchemas", module_name,
                     "Node that fetches the definitions of the relevant tables and opens a first-attempt generation.")
        .init_db("Keep the table information tool over `db`.",
                 [](py::object self, py::object db) {
                     self.attr("tool") = sql_tool("InfoSQLDatabaseTool")(py::arg("db") = db);
                 })
        .invoke(invoke_doc("Fetch the definitions of the relevant tables and open a first-attempt generation.",
                           R"({"sql_generation_prompt_type": "generation", "schemas_from_relevant_tables":
the CREATE TABLE texts of the state's relevant_tables}.)"),
                [](py::object self, py::object state) {
                    py::object names = py::str(",").attr("join")(item(state, zorvan::key::relevant_tables));
                    py::dict update = update_of(zorvan::key::sql_generation_prompt_type, py::str("generation"));
                    update[zorvan::key::schemas_from_relevant_tables] =
                        self.attr("tool").attr("_run")(py::arg("table_names") = names);
                    return update;
                })
        .build();
}

}  // namespace zorvanai::qa_nodes
