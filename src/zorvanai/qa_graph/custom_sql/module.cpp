#include <pybind11/pybind11.h>

#include "custom_sql_database.hpp"

namespace py = pybind11;

PYBIND11_MODULE(custom_sql, m) {
    m.doc() = "The database handle of the assistant: read-only, time-limited, row-capped and lazy.";
    const std::string name = py::str(m.attr("__name__"));
    // The statement check's parser is loaded with the module, not by the
    // first query.
    py::module_::import("sqlglot");
    m.attr("ReadOnlyQueryError") = zorvanai::custom_sql::make_error_class(name);
    m.attr("CustomSQLDatabase") = zorvanai::custom_sql::make_database_class(name);
}
