#include "nodes.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_table_names_lookup(const std::string& module_name, const Globals&) {
    zorvan::ClassBuilder builder("TableNamesLookup", module_name, runnable_base());
    builder.doc("Node that lists the database's usable tables.")
        .method(
            "__init__", "(self, db)", "Keep the table list tool over `db`.",
            [](py::object self, py::object db) {
                self.attr("tool") = sql_tool("ListSQLDatabaseTool")(py::arg("db") = db);
            },
            py::arg("self"), py::arg("db"))
        .method(
            "invoke", "(self, state, **kwargs)", "Return `table_names_from_db`: the table names, comma separated.",
            [](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                py::dict update;
                update["table_names_from_db"] = self.attr("tool").attr("_run")();
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
