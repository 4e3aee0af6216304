// Structured replies from any chat model behind the OpenAI protocol.
//
// The record's JSON schema is asked for as response_format "json_schema";
// a server that refuses that is asked in JSON mode with the schema in the
// prompt, and one that refuses JSON mode too is asked in plain text with the
// schema in the prompt, its reply read leniently (a code fence or words
// around the object are ignored). The method that worked is kept for the
// next calls to the same model on the same server. A reply that does not fit
// the record is shown its error once and asked again.
#include "structured_output.hpp"

#include <algorithm>
#include <cctype>

#include "support.hpp"
#include "zorvan/interpreter_store.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

namespace {

constexpr const char* kMethods[] = {"json_schema", "json_mode", "text"};
constexpr std::size_t kShownReply = 200;

// Words with which servers refuse a response format they do not support.
constexpr const char* kFormatWords[] = {"response_format", "json_schema", "json_object",   "json schema",
                                        "format",          "schema",      "not supported", "unsupported"};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The method each model of each server came to, for as long as the process runs.
py::dict learned_methods() {
    return zorvan::kept("structured_output.learned_methods", [] { return py::dict(); });
}

// "endpoint|model" of a chat client, the key of learned_methods.
std::string model_key(const py::object& model) {
    std::string endpoint, name;
    for (const char* field : {"azure_endpoint", "openai_api_base"}) {
        py::object value = py::getattr(model, field, py::none());
        if (!value.is_none() && endpoint.empty()) endpoint = py::str(value);
    }
    for (const char* field : {"deployment_name", "model_name"}) {
        py::object value = py::getattr(model, field, py::none());
        if (!value.is_none() && name.empty()) name = py::str(value);
    }
    return endpoint + "|" + name;
}

py::object messages_attr(const char* name) {
    return zorvan::imported_module(zorvan::dep::langchain_core_messages_module).attr(name);
}

py::list as_messages(const py::object& input) {
    if (py::hasattr(input, "to_messages")) return input.attr("to_messages")();
    if (py::isinstance<py::str>(input)) {
        py::list messages;
        messages.append(messages_attr("HumanMessage")(input));
        return messages;
    }
    return messages_attr("convert_to_messages")(input);
}

std::string reply_text(const py::object& reply) {
    py::object content = reply.attr("content");
    if (py::isinstance<py::str>(content)) return content.cast<std::string>();
    std::string text;
    if (py::isinstance<py::list>(content)) {
        for (py::handle part : content) {
            if (py::isinstance<py::str>(part)) {
                text += part.cast<std::string>();
            } else if (PyDict_Check(part.ptr()) &&
                       py::dict(py::reinterpret_borrow<py::object>(part)).contains("text")) {
                text += py::str(part["text"]).cast<std::string>();
            }
        }
    }
    return text;
}

// The JSON text of a reply: the whole reply, or what a code fence or the
// outermost braces hold.
std::string json_part(std::string text) {
    const auto fence = text.find("```");
    if (fence != std::string::npos) {
        const auto body = text.find('\n', fence);
        const auto close = body == std::string::npos ? std::string::npos : text.find("```", body);
        if (close != std::string::npos) text = text.substr(body + 1, close - body - 1);
    }
    const auto open = text.find('{');
    const auto end = text.rfind('}');
    if (open != std::string::npos && end != std::string::npos && end > open) return text.substr(open, end - open + 1);
    return text;
}

[[noreturn]] void refuse(const std::string& message) {
    zorvan::raise_error(zorvan::imported(zorvan::dep::langchain_core_exceptions_OutputParserException), message);
}

// The record read from a reply, or why it cannot be read.
struct Reading {
    py::object record;
    std::string error;
};

Reading read_reply(const py::object& schema, const std::string& text) {
    Reading reading;
    py::object value;
    try {
        value = zorvan::imported(zorvan::dep::json_loads)(json_part(text));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        reading.error = "it is not a JSON object (" + std::string(py::str(error.value())) + ")";
        return reading;
    }
    try {
        reading.record = schema.attr("model_validate")(value);
    } catch (py::error_already_set& error) {
        if (!error.matches(zorvan::imported(zorvan::dep::pydantic_ValidationError))) throw;
        std::string problems;
        for (py::handle problem : error.value().attr("errors")(py::arg("include_url") = false)) {
            py::list where;
            for (py::handle part : problem["loc"]) where.append(py::str(part));
            const std::string field =
                py::len(where) > 0 ? py::str(py::str(".").attr("join")(where)).cast<std::string>() : "(record)";
            problems += (problems.empty() ? "" : "; ") + field + ": " + std::string(py::str(problem["msg"]));
        }
        reading.error = "it does not fit " + std::string(py::str(schema.attr("__name__"))) + " (" + problems + ")";
    }
    return reading;
}

bool refuses_format(const py::error_already_set& error) {
    const bool rejected = error.matches(zorvan::imported(zorvan::dep::openai_BadRequestError)) ||
                          error.matches(zorvan::imported(zorvan::dep::openai_UnprocessableEntityError));
    if (!rejected) return false;
    const std::string text = lower(py::str(error.value()));
    return std::any_of(std::begin(kFormatWords), std::end(kFormatWords),
                       [&text](const char* word) { return text.find(word) != std::string::npos; });
}

std::string schema_instruction(const py::object& schema) {
    py::object json_schema = schema.attr("model_json_schema")();
    return "Reply with one JSON object and nothing else (no code fence, no other text). It must fit this JSON "
           "schema:\n" +
           std::string(py::str(zorvan::imported(zorvan::dep::json_dumps)(json_schema)));
}

py::dict json_schema_format(const py::object& schema) {
    // The SDK's strict form of the record's schema, as OpenAI expects it.
    py::object tool = zorvan::imported(zorvan::dep::openai_pydantic_function_tool)(schema);
    py::dict body;
    body["name"] = schema.attr("__name__");
    body["schema"] = tool["function"]["parameters"];
    body["strict"] = py::bool_(true);
    py::dict format;
    format["type"] = "json_schema";
    format["json_schema"] = body;
    return format;
}

// One call of the model in `method`.
py::object call(const py::object& self, const std::string& method, const py::list& messages, const py::object& config) {
    py::object model = self.attr("model");
    py::object schema = self.attr("schema");
    py::list sent(messages);
    py::dict options;
    if (method == "json_schema") {
        options["response_format"] = json_schema_format(schema);
    } else {
        sent.append(messages_attr("HumanMessage")(schema_instruction(schema)));
        if (method == "json_mode") {
            py::dict format;
            format["type"] = "json_object";
            options["response_format"] = format;
        }
    }
    return model.attr("invoke")(sent, config, **options);
}

std::string shown(const std::string& text) {
    if (text.size() <= kShownReply) return text;
    std::size_t end = kShownReply;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end) + "...";
}

// Refusals and cut-off replies are not retried: asking again gives the same.
void check_finished(const py::object& reply, const std::string& text) {
    py::dict extra = reply.attr("additional_kwargs");
    py::object refusal = extra.attr("get")("refusal");
    if (text.empty() && !refusal.is_none()) refuse("The model refused to answer: " + std::string(py::str(refusal)));
    py::dict metadata = reply.attr("response_metadata");
    if (py::str("length").equal(metadata.attr("get")("finish_reason"))) {
        refuse("The model's reply was cut off at its length limit (max_tokens) before it was complete: " + shown(text));
    }
}

py::object invoke_structured(py::object self, py::object input, py::object config) {
    const py::list messages = as_messages(input);
    const py::object schema = self.attr("schema");
    const std::string name = py::str(schema.attr("__name__"));
    // Another node may have found out meanwhile what this server lacks.
    std::string method = py::str(learned_methods().attr("get")(model_key(self.attr("model")), self.attr("method")));
    self.attr("method") = py::str(method);
    while (true) {
        py::object reply;
        try {
            reply = call(self, method, messages, config);
        } catch (py::error_already_set& error) {
            if (method == "text" || !refuses_format(error)) throw;
            method = method == "json_schema" ? "json_mode" : "text";
            self.attr("method") = py::str(method);
            learned_methods()[py::str(model_key(self.attr("model")))] = py::str(method);
            continue;
        }
        std::string text = reply_text(reply);
        check_finished(reply, text);
        Reading reading = read_reply(schema, text);
        if (reading.error.empty()) return reading.record;

        py::list again(messages);
        again.append(messages_attr("AIMessage")(text));
        again.append(messages_attr("HumanMessage")("Your reply could not be read: " + reading.error +
                                                   ". Reply again with one JSON object that fits the " + name +
                                                   " schema, and nothing else."));
        py::object second = call(self, method, again, config);
        const std::string second_text = reply_text(second);
        check_finished(second, second_text);
        Reading retried = read_reply(schema, second_text);
        if (retried.error.empty()) return retried.record;
        refuse("The model's reply could not be read as " + name + ", also after it was shown why: " + retried.error +
               ". The reply: " + shown(second_text));
    }
}

}  // namespace

py::object make_structured_output(const std::string& module_name) {
    zorvan::ClassBuilder builder("StructuredOutput", module_name, runnable_base());
    builder.doc(
        R"(A chat model that answers with a pydantic record, from any OpenAI-compatible server.

The record's JSON schema goes out as response_format "json_schema". A server that
refuses it (HTTP 400 or 422 about the format) is asked in JSON mode with the schema
in the prompt, and one that refuses that too in plain text; the method that worked
is kept in ``method`` for later calls, and for every StructuredOutput made later for
the same model on the same server. A reply that does not fit the record is shown
the error and asked once more.)");
    builder
        .method(
            "__init__", "(self, model, schema)",
            R"(Keep the chat model and the record class.

Args:
    model: the chat model (AzureChatOpenAI or ChatOpenAI).
    schema: the pydantic record class to fill.)",
            [](py::object self, py::object model, py::object schema) {
                self.attr("model") = model;
                self.attr("schema") = schema;
                self.attr("method") = learned_methods().attr("get")(model_key(model), kMethods[0]);
            },
            py::arg("self"), py::arg("model"), py::arg("schema"))
        .method(
            "invoke", "(self, input, config=None, **kwargs)",
            R"(Ask the model and return the filled record.

Args:
    input: a text, a list of chat messages or a prompt value.
    config: the run configuration, handed to the model call.
    **kwargs: ignored.

Returns:
    An instance of the record class.

Raises:
    OutputParserException: the reply could not be read as the record, also
        after the model was shown why; or the model refused, or its reply was cut off.
    openai.APIError: the model's errors.)",
            [](py::object self, py::object input, py::object config, py::kwargs) {
                return invoke_structured(self, input, config);
            },
            py::arg("self"), py::arg("input"), py::arg("config") = py::none());
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
