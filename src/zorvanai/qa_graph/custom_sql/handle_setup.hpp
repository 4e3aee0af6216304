// Making a handle: its settings checked and kept on the instance, one
// connection to learn the server (its kind, the schema queries run in, the
// SQL mode to pin, the login's rights), and from_uri's engine with time
// limits for every connection.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::custom_sql {
namespace py = pybind11;

constexpr double kDefaultStatementTimeout = 60.0;
constexpr double kDefaultConnectTimeout = 10.0;
constexpr long kDefaultMaxRows = 200;
constexpr long kDefaultResultBytes = 65536;

void initialise(py::object self, py::object engine, py::object schema, py::object metadata, py::object ignore_tables,
                py::object include_tables, py::object sample_rows, py::object indexes, py::object custom_table_info,
                py::object view_support, py::object max_string_length, py::object statement_timeout,
                py::object max_rows, py::object max_result_bytes, py::object strict);

py::object from_uri(py::object cls, py::object database_uri, py::object engine_args, py::object connect_timeout,
                    py::kwargs kwargs);

}  // namespace zorvanai::custom_sql
