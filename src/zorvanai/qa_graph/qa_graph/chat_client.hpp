#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::qa_graph {
namespace py = pybind11;

// A chat client (AzureChatOpenAI, or ChatOpenAI for OpenAIChatSettings)
// from a model settings record: every entry of the record's attribute
// mapping as a keyword argument, plus `max_tokens`, temperature 0 and top_p
// 0.95. A record that itself holds one of those three names is refused with
// the same TypeError that a Python call would raise.
py::object make_chat_client(py::handle settings, long max_tokens);

}  // namespace zorvanai::qa_graph
