#include "nodes.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_table_names_lookup(const std::string& module_name, const Globals&) {
    zorvan::ClassBuilder builder("TableNamesLookup", module_name, runnable_base());
    builder.doc("Node that lists the database's usable tables.")
        .method(
            "__init__", "(self, db)",
            "Keep the table list tool over `db`.\n\n"
            "Args:\n"
            "    db: the database handle (CustomSQLDatabase).",
            [](py::object self, py::object db) {
                self.attr("tool") = sql_tool("ListSQLDatabaseTool")(py::arg("db") = db);
            },
            py::arg("self"), py::arg("db"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "List the database's usable tables.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n"
            "    **kwargs: ignored.\n\n"
            "Returns:\n"
            "    {\"table_names_from_db\": the table names, separated by \", \"}.\n\n"
            "Raises:\n"
            "    TypeError: state is not a mapping.",
            [](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                py::dict update;
                update[zorvan::key::table_names_from_db] = self.attr("tool").attr("_run")();
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
