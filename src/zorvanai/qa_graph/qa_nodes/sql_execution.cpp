#include "nodes.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_sql_execution(const std::string& module_name, const Globals&) {
    zorvan::ClassBuilder builder("SQLExecution", module_name, runnable_base());
    builder.doc("Node that runs the newest query and records its rows or its database error.")
        .method(
            "__init__", "(self, db)",
            "Keep the database handle.\n\n"
            "Args:\n"
            "    db: the database handle (CustomSQLDatabase).",
            [](py::object self, py::object db) { self.attr("db") = db; }, py::arg("self"), py::arg("db"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Run the newest query and record its rows or its database error.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n"
            "    **kwargs: ignored.\n\n"
            "Returns:\n"
            "    {\"sql_execution_result\": [rows text, error text or \"None\"], \"execution_success\":\n"
            "    whether rows came back}; with rows also \"pandas_generation_prompt_type\":\n"
            "    \"generation\".\n\n"
            "Raises:\n"
            "    TypeError: state is not a mapping.",
            [](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                py::object query = item(state, zorvan::key::generated_sql_query)[py::int_(-1)];
                py::object database_error = zorvan::imported(zorvan::dep::sqlalchemy_exc_SQLAlchemyError);
                py::list results;
                py::dict update;
                py::object rows;
                try {
                    rows = self.attr("db").attr("run")(py::arg("command") = query, py::arg("fetch") = "all",
                                                       py::arg("include_columns") = false);
                } catch (py::error_already_set& error) {
                    if (!error.matches(database_error)) throw;
                    results.append(py::str(error.value()));
                    update[zorvan::key::sql_execution_result] = results;
                    update[zorvan::key::execution_success] = false;
                    return update;
                }
                if (truthy(rows)) {
                    results.append(rows);
                    update[zorvan::key::sql_execution_result] = results;
                    update[zorvan::key::execution_success] = true;
                    update[zorvan::key::pandas_generation_prompt_type] = py::str("generation");
                } else {
                    results.append(py::str("None"));
                    update[zorvan::key::sql_execution_result] = results;
                    update[zorvan::key::execution_success] = false;
                }
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
