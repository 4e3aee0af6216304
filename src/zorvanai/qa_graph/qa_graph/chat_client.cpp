#include "chat_client.hpp"

#include "zorvan/chat_client.hpp"

namespace zorvanai::qa_graph {

py::object make_chat_client(py::handle settings, long max_tokens) {
    py::dict model_kwargs;
    model_kwargs["top_p"] = py::float_(0.95);
    py::dict extra;
    extra["max_tokens"] = py::int_(max_tokens);
    extra["temperature"] = py::int_(0);
    extra["model_kwargs"] = model_kwargs;
    return zorvan::azure_chat_client(settings, extra);
}

}  // namespace zorvanai::qa_graph
