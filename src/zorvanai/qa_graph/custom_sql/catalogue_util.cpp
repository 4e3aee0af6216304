#include "catalogue_util.hpp"

#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

std::string name_text(py::handle value) {
    if (py::isinstance<py::bytes>(value)) return py::str(value.attr("decode")("utf-8"));
    return py::str(value);
}

std::set<std::string> string_set(const py::object& values) {
    std::set<std::string> out;
    if (values.is_none()) return out;
    for (py::handle value : values) out.insert(py::str(value));
    return out;
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? separator : "") + parts[i];
    return text;
}

py::list to_list(const std::vector<std::string>& names) {
    py::list out;
    for (const std::string& name : names) out.append(py::str(name));
    return out;
}

py::object text_query(const std::string& sql) {
    return zorvan::imported(zorvan::dep::sqlalchemy_text)(sql);
}

py::object text_query_with_names(const std::string& sql) {
    py::object bindparam = zorvan::imported(zorvan::dep::sqlalchemy_bindparam);
    return text_query(sql).attr("bindparams")(bindparam("names", py::arg("expanding") = true));
}

std::string postgres_schema(const HandleConfig& config) {
    return config.schema.is_none() ? "current_schema()" : ":schema";
}

std::string postgres_kinds(const HandleConfig& config) {
    return std::string("c.relkind IN ('r', 'p'") + (config.view_support ? ", 'v', 'm'" : "") + ")";
}

std::string mysql_types(const HandleConfig& config) {
    return std::string("('BASE TABLE', 'SYSTEM VERSIONED'") + (config.view_support ? ", 'VIEW'" : "") + ")";
}

py::dict schema_parameters(const HandleConfig& config) {
    py::dict parameters;
    if (!config.schema.is_none()) parameters["schema"] = config.schema;
    return parameters;
}

std::vector<std::string> first_column(const py::object& result) {
    std::vector<std::string> names;
    for (py::handle row : result.attr("fetchall")()) names.push_back(name_text(row[py::int_(0)]));
    return names;
}

}  // namespace zorvanai::custom_sql
