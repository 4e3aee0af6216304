#include "chat_client.hpp"

#include "zorvan/chat_client.hpp"

namespace zorvanai::qa_graph {

py::object make_chat_client(py::handle settings, long max_tokens) {
    py::dict extra;
    extra["max_tokens"] = py::int_(max_tokens);
    extra["temperature"] = py::int_(0);
    // A field of the client: inside model_kwargs it would raise a warning
    // with the same request.
    extra["top_p"] = py::float_(0.95);
    return zorvan::chat_client(settings, extra);
}

}  // namespace zorvanai::qa_graph
