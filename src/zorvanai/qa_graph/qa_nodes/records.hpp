// The pydantic records that nodes ask the chat model to fill.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::qa_nodes {
namespace py = pybind11;

// Defines RelevantTablesOutput, RewriteQueryOutput, PandasCodeOutput,
// PythonCodeInput, SQLQueryInput and GenerationOutput on `m`.
void add_records(py::module_& m);

}  // namespace zorvanai::qa_nodes
