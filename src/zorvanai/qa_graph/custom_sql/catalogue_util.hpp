// Small pieces shared by the catalogue readers.
#pragma once

#include <pybind11/pybind11.h>

#include <set>
#include <string>
#include <vector>

#include "handle_config.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

// A name as text (MySQL drivers may give bytes).
std::string name_text(py::handle value);
std::set<std::string> string_set(const py::object& values);
std::string join(const std::vector<std::string>& parts, const std::string& separator);
py::list to_list(const std::vector<std::string>& names);
py::object text_query(const std::string& sql);
// `sql` with an expanding bound parameter "names" (an IN list).
py::object text_query_with_names(const std::string& sql);
// The schema of a PostgreSQL catalogue query: ":schema" or current_schema().
std::string postgres_schema(const HandleConfig& config);
std::string postgres_kinds(const HandleConfig& config);
std::string mysql_types(const HandleConfig& config);
py::dict schema_parameters(const HandleConfig& config);
std::vector<std::string> first_column(const py::object& result);

}  // namespace zorvanai::custom_sql
