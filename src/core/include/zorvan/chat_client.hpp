// Chat clients made from a deployment settings record.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvan {
namespace py = pybind11;

// AzureChatOpenAI(**settings.__dict__, **extra): every entry of the
// record's attribute mapping as a keyword argument plus `extra`. A name that
// both hold is refused with the TypeError that the same Python call raises.
py::object azure_chat_client(py::handle settings, const py::dict& extra);

}  // namespace zorvan
