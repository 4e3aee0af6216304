#include "node_class.hpp"
#include "nodes.hpp"

namespace zorvanai::qa_nodes {

py::object make_table_names_lookup(const std::string& module_name, const Globals&) {
    return NodeClass("TableNamesLookup", module_name, "Node that lists the database's usable tables.")
        .init_db("Keep the table list tool over `db`.",
                 [](py::object self, py::object db) {
                     self.attr("tool") = sql_tool("ListSQLDatabaseTool")(py::arg("db") = db);
                 })
        .invoke(invoke_doc("List the database's usable tables.",
                           R"({"table_names_from_db": the table names, separated by ", "}.)"),
                [](py::object self, py::object) {
                    return update_of(zorvan::key::table_names_from_db, self.attr("tool").attr("_run")());
                })
        .build();
}

}  // namespace zorvanai::qa_nodes
