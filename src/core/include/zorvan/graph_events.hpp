// What LangChain's callbacks say about the runs of a LangGraph graph.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "zorvan/signed.hpp"

namespace zorvan {
namespace py = pybind11;

// The graph node whose own run a callback's keyword arguments describe; ""
// for every other run (the runs inside a node share its metadata, not its
// name).
std::string graph_node_of(const py::kwargs& kwargs);

// A builder of a LangChain callback handler class (on BaseCallbackHandler)
// named `name` in module `module_name`, with the class docstring `doc`.
ClassBuilder callback_handler(const std::string& name, const std::string& module_name, const std::string& doc);

}  // namespace zorvan
