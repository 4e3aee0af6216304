#include "state.hpp"

#include <utility>
#include <vector>

#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"

namespace zorvanai::qa_graph {

py::object make_sql_state(const std::string& module_name) {
    py::module_ typing = zorvan::imported_module(zorvan::dep::typing_module);
    py::module_ op = zorvan::imported_module(zorvan::dep::operator_module);
    py::object builtins_str = zorvan::imported(zorvan::dep::builtins_str);
    py::object builtins_int = zorvan::imported(zorvan::dep::builtins_int);
    py::object builtins_bool = zorvan::imported(zorvan::dep::builtins_bool);
    py::object builtins_list = zorvan::imported(zorvan::dep::builtins_list);
    py::object List = typing.attr("List");
    py::object Dict = typing.attr("Dict");
    py::object Annotated = typing.attr("Annotated");

    py::object list_of_str = List[builtins_str];
    // Annotated[List[str], operator.concat]: each update's list is appended.
    py::object concatenated = Annotated[py::make_tuple(list_of_str, op.attr("concat"))];
    // Annotated[int, operator.add]: each update adds to the count.
    py::object added = Annotated[py::make_tuple(builtins_int, op.attr("add"))];
    // list[Dict[str, str]]
    py::object table_list = builtins_list[Dict[py::make_tuple(builtins_str, builtins_str)]];
    // str | None
    py::object optional_text = op.attr("or_")(builtins_str, py::none());

    const std::vector<std::pair<const char*, py::object>> keys = {
        {zorvan::key::user_question, builtins_str},
        {zorvan::key::follow_up_question, concatenated},
        {zorvan::key::schemas_from_relevant_tables, builtins_str},
        {zorvan::key::table_names_from_db, table_list},
        {zorvan::key::relevant_tables, list_of_str},
        {zorvan::key::generated_sql_query, concatenated},
        {zorvan::key::sql_generation_prompt_type, builtins_str},
        {zorvan::key::execution_success, builtins_bool},
        {zorvan::key::execution_error, concatenated},
        {zorvan::key::sql_execution_result, concatenated},
        {zorvan::key::pandas_code, builtins_str},
        {zorvan::key::use_pandas_ai_flag, builtins_bool},
        {zorvan::key::image_path, optional_text},
        {zorvan::key::python_executed_output, builtins_str},
        {zorvan::key::save_path, builtins_str},
        {zorvan::key::final_response, builtins_str},
        {zorvan::key::iteration_count, added},
        {zorvan::key::iteration_count_pandas, added},
        {zorvan::key::rewrite_count, builtins_int},
        {zorvan::key::rewritten_question, builtins_str},
        {zorvan::key::max_iterations, builtins_int},
        {zorvan::key::max_iterations_pandas, builtins_int},
        {zorvan::key::python_execution_success, builtins_bool},
        {zorvan::key::python_error_message, builtins_str},
        {zorvan::key::pandas_generation_prompt_type, builtins_str},
    };
    py::dict fields;
    for (const auto& [name, annotation] : keys) fields[name] = annotation;

    py::object state = typing.attr("TypedDict")("SQLState", fields);
    // The functional form guesses the module from the calling frame, which
    // from C++ is whatever Python code imported us.
    py::setattr(state, "__module__", py::str(module_name));
    py::setattr(state, "__qualname__", py::str("SQLState"));
    py::setattr(state, "__doc__", py::str(R"(State of one question in the question-answering graph.

Keys annotated with operator.concat collect lists across updates, keys
annotated with operator.add count, every other key is replaced by the
newest update. A key holds no value until something writes it.)"));
    return state;
}

}  // namespace zorvanai::qa_graph
