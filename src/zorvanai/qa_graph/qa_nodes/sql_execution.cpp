#include "node_class.hpp"
#include "nodes.hpp"
#include "zorvan/python_names.hpp"

namespace zorvanai::qa_nodes {

namespace {
py::dict execution_update(py::object result, bool success) {
    py::list results;
    results.append(std::move(result));
    py::dict update = update_of(zorvan::key::sql_execution_result, results);
    update[zorvan::key::execution_success] = success;
    return update;
}
}  // namespace

py::object make_sql_execution(const std::string& module_name, const Globals&) {
    return NodeClass("SQLExecution", module_name,
                     "Node that runs the newest query and records its rows or its database error.")
        .init_db("Keep the database handle.", [](py::object self, py::object db) { self.attr("db") = db; })
        .invoke(invoke_doc("Run the newest query and record its rows or its database error.",
                           R"({"sql_execution_result": [rows text, error text or "None"], "execution_success":
whether rows came back}; with rows also "pandas_generation_prompt_type":
"generation".)"),
                [](py::object self, py::object state) {
                    py::object query = item(state, zorvan::key::generated_sql_query)[py::int_(-1)];
                    py::object database_error = zorvan::imported(zorvan::dep::sqlalchemy_exc_SQLAlchemyError);
                    py::object rows;
                    try {
                        rows = self.attr("db").attr("run")(py::arg("command") = query, py::arg("fetch") = "all",
                                                           py::arg("include_columns") = false);
                    } catch (py::error_already_set& error) {
                        if (!error.matches(database_error)) throw;
                        return execution_update(py::str(error.value()), false);
                    }
                    if (!truthy(rows)) return execution_update(py::str("None"), false);
                    py::dict update = execution_update(rows, true);
                    update[zorvan::key::pandas_generation_prompt_type] = py::str("generation");
                    return update;
                })
        .build();
}

}  // namespace zorvanai::qa_nodes
