// Helpers shared by the node classes, routing functions and the module set-up.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::qa_nodes {
namespace py = pybind11;

// The node module's namespace. Node code reads templates, records, the
// context snapshot and the logger from it when it runs, as module-level
// names of a Python module would be read.
using Globals = py::dict;

// `mapping[key]`; a missing key raises KeyError like Python indexing.
py::object item(py::handle mapping, const char* key);

// Python truth value of `value`.
bool truthy(py::handle value);

// Python `a < b` and `a == b`.
bool less(py::handle a, py::handle b);
bool equal(py::handle a, py::handle b);

// The question a prompt is about: `rewritten_question` when it is non-empty
// text, otherwise `user_question`. Both keys are read, user question first.
py::object chosen_question(py::handle state);

// Table names as the tools and prompts take them: a list is joined with a
// bare comma, anything else passes unchanged.
py::object join_if_list(py::handle names);

// Python `list(zip(a, b))`: pairs stop at the end of the shorter list.
py::list zip_lists(py::handle a, py::handle b);

// `text` on `logger` of the module, at info level (the package logger at
// DEBUG when the quiet switch is on).
void log_info(const Globals& globals, const std::string& text);

// Python's print of one text (the package logger when quiet).
void print_line(py::handle text);

// The module's StructuredOutput over `model` and <record>, the record taken
// from the module.
py::object structured_model(py::handle model, const Globals& globals, const char* record);

// Classes of the libraries, imported at the call.
py::object runnable_base();
py::object prompts_attr(const char* name);
py::object sql_tool(const char* name);

// `text` with each {name} replaced by values[name] (joined with Python's +,
// so each value must be text), in one pass: a value holding "{...}" is not
// filled in again, and braces of no listed name stay as they are.
py::object fill_template(const std::string& text, const py::dict& values);

// Builds `ChatPromptTemplate.from_messages(messages)`.
py::object chat_prompt(const py::list& messages);

// `format_messages` of a chat prompt with every entry of `state` as a
// template variable plus the `extra` ones, which take precedence.
py::object format_with_state(py::handle prompt, py::handle state, const py::dict& extra);

}  // namespace zorvanai::qa_nodes
