#include "state.hpp"

#include <utility>
#include <vector>

namespace zorvanai::qa_graph {

py::object make_sql_state(const std::string& module_name) {
    py::module_ typing = py::module_::import("typing");
    py::module_ op = py::module_::import("operator");
    py::object builtins_str = py::module_::import("builtins").attr("str");
    py::object builtins_int = py::module_::import("builtins").attr("int");
    py::object builtins_bool = py::module_::import("builtins").attr("bool");
    py::object builtins_list = py::module_::import("builtins").attr("list");
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
        {"user_question", builtins_str},
        {"follow_up_question", concatenated},
        {"schemas_from_relevant_tables", builtins_str},
        {"table_names_from_db", table_list},
        {"relevant_tables", list_of_str},
        {"generated_sql_query", concatenated},
        {"sql_generation_prompt_type", builtins_str},
        {"execution_success", builtins_bool},
        {"execution_error", concatenated},
        {"sql_execution_result", concatenated},
        {"pandas_code", builtins_str},
        {"use_pandas_ai_flag", builtins_bool},
        {"image_path", optional_text},
        {"python_executed_output", builtins_str},
        {"save_path", builtins_str},
        {"final_response", builtins_str},
        {"iteration_count", added},
        {"iteration_count_pandas", added},
        {"rewrite_count", builtins_int},
        {"rewritten_question", builtins_str},
        {"max_iterations", builtins_int},
        {"max_iterations_pandas", builtins_int},
        {"python_execution_success", builtins_bool},
        {"python_error_message", builtins_str},
        {"pandas_generation_prompt_type", builtins_str},
    };
    py::dict fields;
    for (const auto& [name, annotation] : keys) fields[name] = annotation;

    py::object state = typing.attr("TypedDict")("SQLState", fields);
    // The functional form guesses the module from the calling frame, which
    // from C++ is whatever Python code imported us.
    py::setattr(state, "__module__", py::str(module_name));
    py::setattr(state, "__qualname__", py::str("SQLState"));
    py::setattr(state, "__doc__",
                py::str("State of one question in the question-answering graph.\n\n"
                        "Keys annotated with operator.concat collect lists across updates, keys\n"
                        "annotated with operator.add count, every other key is replaced by the\n"
                        "newest update. A key holds no value until something writes it."));
    return state;
}

}  // namespace zorvanai::qa_graph
