// Factories of the node classes. Each builds one LangChain Runnable subclass
// for the module `module_name`; `globals` is that module's namespace.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "support.hpp"

namespace zorvanai::qa_nodes {

py::object make_table_names_lookup(const std::string& module_name, const Globals& globals);
py::object make_relevant_table_names(const std::string& module_name, const Globals& globals);
py::object make_relevant_schemas(const std::string& module_name, const Globals& globals);
py::object make_sql_generation(const std::string& module_name, const Globals& globals);
py::object make_sql_syntax_checker(const std::string& module_name, const Globals& globals);
py::object make_sql_execution(const std::string& module_name, const Globals& globals);
py::object make_rewrite_query(const std::string& module_name, const Globals& globals);
py::object make_pandas_generator(const std::string& module_name, const Globals& globals);
py::object make_pandas_correction(const std::string& module_name, const Globals& globals);
py::object make_pandas_executor(const std::string& module_name, const Globals& globals);
py::object make_generate_response(const std::string& module_name, const Globals& globals);

}  // namespace zorvanai::qa_nodes
