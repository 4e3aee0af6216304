#include "records.hpp"

#include <string>
#include <utility>
#include <vector>

#include "zorvan/python_names.hpp"

namespace zorvanai::qa_nodes {

namespace {

struct FieldDefinition {
    const char* name;
    py::object type;
    const char* description;
    bool has_default = false;
    py::object default_value = py::none();
};

py::object make_record(const std::string& module_name, const char* name, const std::vector<FieldDefinition>& fields) {
    py::module_ pydantic = zorvan::imported_module(zorvan::dep::pydantic_module);
    py::object field = pydantic.attr("Field");
    py::dict definitions;
    definitions["__module__"] = py::str(module_name);
    for (const FieldDefinition& entry : fields) {
        py::object info = entry.has_default ? field(entry.default_value, py::arg("description") = entry.description)
                                            : field(py::arg("description") = entry.description);
        definitions[entry.name] = py::make_tuple(entry.type, info);
    }
    return pydantic.attr("create_model")(name, **definitions);
}

}  // namespace

void add_records(py::module_& m) {
    const std::string module_name = py::str(m.attr("__name__"));
    py::module_ typing = zorvan::imported_module(zorvan::dep::typing_module);
    py::object str_type = zorvan::imported(zorvan::dep::builtins_str);
    py::object bool_type = zorvan::imported(zorvan::dep::builtins_bool);
    py::object list_of_str = typing.attr("List")[str_type];
    py::object optional_str = typing.attr("Optional")[str_type];

    m.attr("RelevantTablesOutput") = make_record(module_name, "RelevantTablesOutput",
                                                 {{"relevant_tables", list_of_str, "List of relevant table names"}});
    m.attr("RewriteQueryOutput") =
        make_record(module_name, "RewriteQueryOutput", {{"rewritten_question", str_type, "Rewritten question"}});
    m.attr("PandasCodeOutput") = make_record(
        module_name, "PandasCodeOutput",
        {{"pandas_ai", bool_type,
          "Whether question should answer by using pandas_ai or not. In case, the answer can derive directly from "
          "sql_execution_result, False. If the answer involves analysis/plotting/forecast then True."},
         {"final_answer", bool_type, "Final answer"},
         {"follow_up_question", bool_type, "Follow up question"}});
    m.attr("PythonCodeInput") =
        make_record(module_name, "PythonCodeInput", {{"code", str_type, "Python code to be executed"}});
    m.attr("SQLQueryInput") =
        make_record(module_name, "SQLQueryInput", {{"sql_query", str_type, "SQL query string to be executed"}});
    m.attr("GenerationOutput") =
        make_record(module_name, "GenerationOutput",
                    {{"image_path", optional_str, "image path generated if exists in context", true, py::str("")},
                     {"final_response", str_type, "final response"}});
}

}  // namespace zorvanai::qa_nodes
