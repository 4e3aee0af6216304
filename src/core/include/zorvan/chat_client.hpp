// Chat clients made from a model settings record.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvan {
namespace py = pybind11;

// Requests to a chat model may take, with every retry, at most this many
// times the record's per-request timeout.
inline constexpr double kRequestBudgetFactor = 2.0;

// The client class named by the record's class attribute `chat_client`
// ("AzureChatOpenAI" when it has none, "ChatOpenAI"), called with every
// entry of the record's attribute mapping plus `extra`. A name that both
// hold is refused with the TypeError that the same Python call raises.
//
// Beyond the record: the client's HTTP requests of one call, retries
// included, stop after kRequestBudgetFactor x the record's timeout; a
// success answer that is not JSON raises zorvanai.api.ModelServiceError
// naming the address and what came back; an Azure record without a key never
// falls back to OPENAI_API_KEY; an OpenAI-compatible server without a key
// gets a placeholder one.
py::object chat_client(py::handle settings, const py::dict& extra);

}  // namespace zorvan
