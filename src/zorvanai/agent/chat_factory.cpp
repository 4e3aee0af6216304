#include <cstdlib>

#include "agent.hpp"
#include "zorvan/console.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::agent {

namespace {
// The OpenAI client waits ten minutes by default; keep it to the same
// limit as the graph's chat clients.
double model_timeout() {
    const char* raw = std::getenv("ZORVAN_MODEL_TIMEOUT");
    if (raw != nullptr && *raw != '\0') {
        char* end = nullptr;
        const double seconds = std::strtod(raw, &end);
        if (end != raw && *end == '\0' && seconds > 0) return seconds;
        throw py::value_error(std::string("ZORVAN_MODEL_TIMEOUT must be a positive number of seconds, not '") + raw +
                              "'");
    }
    return 120.0;
}
}  // namespace

py::object create_chat_openai_instance(py::module_ m, const py::object& zorvan_api_key) {
    py::object api_handler = m.attr("ZorvanAPIHandler")(py::arg("zorvan_api_key") = zorvan_api_key);
    py::object data = api_handler.attr("get_openai_data")();
    py::object model_name = data.attr("get")("model_name");
    py::object temperature = data.attr("get")("temperature", 1);
    py::object api_key = data.attr("get")("api_key");
    py::object llm = zorvan::imported(zorvan::dep::langchain_openai_ChatOpenAI)(
        py::arg("openai_api_key") = api_key, py::arg("model") = model_name, py::arg("temperature") = temperature,
        py::arg("timeout") = model_timeout());
    zorvan::say(py::str("LLM is Ready!"));
    return llm;
}

}  // namespace zorvanai::agent
