// Metering the chat model calls of one question: tokens per reply model,
// priced from the caller's table, then the built-in one. A model in neither
// has no price, and the question's cost is then unknown rather than a guess.
#include <regex>

#include "agent.hpp"
#include "zorvan/graph_events.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::agent {

namespace {

constexpr const char* kMeterClass = "_UsageMeter";
constexpr const char* kMeterVariable = "_usage_meter";
constexpr double kPerMillion = 1'000'000.0;

long count_of(const py::handle& usage, const char* key) {
    if (!PyDict_Check(usage.ptr())) return 0;
    py::dict values = py::reinterpret_borrow<py::dict>(usage);
    if (!values.contains(key) || values[key].is_none()) return 0;
    return values[key].cast<long>();
}

// Records every reply's token counts under the model name the reply gives.
py::object make_meter_class(const std::string& module_name) {
    return zorvan::callback_handler(kMeterClass, module_name,
                                    "Callback handler that counts the tokens of every chat model reply, per model.")
        .method(
            "__init__", "(self)", "Start with nothing counted.",
            [](py::object self) {
                self.attr("by_model") = py::dict();
                self.attr("replies_without_usage") = py::int_(0);
            },
            py::arg("self"))
        .method(
            "on_llm_end", "(self, response, **kwargs)", "Count the tokens of one model call.",
            [](py::object self, py::object response, py::kwargs) {
                py::dict by_model = self.attr("by_model");
                for (py::handle batch : response.attr("generations")) {
                    for (py::handle generation : batch) {
                        py::object message = py::getattr(generation, "message", py::none());
                        py::object usage = message.is_none() ? py::object(py::none())
                                                             : py::getattr(message, "usage_metadata", py::none());
                        if (usage.is_none()) {
                            self.attr("replies_without_usage") =
                                py::int_(self.attr("replies_without_usage").cast<long>() + 1);
                            continue;
                        }
                        py::dict metadata = py::getattr(message, "response_metadata", py::dict());
                        py::object name = metadata.attr("get")("model_name", "");
                        py::str key(name.is_none() ? py::str("") : py::str(name));
                        py::list counts = by_model.contains(key) ? py::list(by_model[key]) : py::list();
                        if (py::len(counts) == 0) {
                            for (int i = 0; i < 3; ++i) counts.append(0);
                        }
                        counts[0] = py::int_(counts[0].cast<long>() + count_of(usage, "input_tokens"));
                        counts[1] = py::int_(counts[1].cast<long>() + count_of(usage, "output_tokens"));
                        counts[2] = py::int_(counts[2].cast<long>() + count_of(usage, "total_tokens"));
                        by_model[key] = counts;
                    }
                }
            },
            py::arg("self"), py::arg("response"))
        .build();
}

// The caller's price of `model`: its exact name, else its name without a
// date suffix ("gpt-4o-2024-08-06" -> "gpt-4o").
std::optional<std::pair<double, double>> table_price(const py::dict& prices, const std::string& model) {
    static const std::regex dated("-\\d{4}-\\d{2}-\\d{2}$");
    for (const std::string& name : {model, std::regex_replace(model, dated, "")}) {
        if (!prices.contains(py::str(name))) continue;
        py::dict entry = prices[py::str(name)];
        return std::make_pair(entry["input"].cast<double>(), entry["output"].cast<double>());
    }
    return std::nullopt;
}

// The built-in price of the tokens, from LangChain's table of OpenAI and
// Azure OpenAI models.
std::optional<double> builtin_cost(const std::string& model, long input, long output) {
    zorvan::import_langchain_community();
    py::module_ info = zorvan::imported_module(zorvan::dep::langchain_community_callbacks_openai_info_module);
    py::object prompt_name = info.attr("standardize_model_name")(model);
    if (model.empty() || !py::dict(info.attr("MODEL_COST_PER_1K_TOKENS")).contains(prompt_name)) return std::nullopt;
    py::object kinds = info.attr("TokenType");
    py::object cost = info.attr("get_openai_token_cost_for_model");
    try {
        const double in = cost(model, input, py::arg("token_type") = kinds.attr("PROMPT")).cast<double>();
        const double out = cost(model, output, py::arg("token_type") = kinds.attr("COMPLETION")).cast<double>();
        return in + out;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        return std::nullopt;
    }
}

}  // namespace

void add_usage_support(py::module_& m) {
    const std::string module_name = py::str(m.attr("__name__"));
    m.attr(kMeterClass) = make_meter_class(module_name);
    // The meter follows the graph run into every node and model call.
    m.attr(kMeterVariable) = zorvan::make_configure_hook("zorvanai_usage_meter");
}

UsageScope::UsageScope(py::module_ m) : meter_(m.attr(kMeterClass)()), hook_(m.attr(kMeterVariable), meter_) {}

Usage UsageScope::usage(const py::dict& prices) const {
    Usage usage;
    usage.cost = 0.0;
    if (meter_.attr("replies_without_usage").cast<long>() > 0) usage.cost.reset();
    for (auto item : py::dict(meter_.attr("by_model"))) {
        const std::string model = py::str(item.first);
        py::list counts = py::reinterpret_borrow<py::list>(item.second);
        const long input = counts[0].cast<long>(), output = counts[1].cast<long>();
        usage.tokens += counts[2].cast<long>();
        usage.prompt_tokens += input;
        usage.completion_tokens += output;
        std::optional<double> cost;
        if (auto price = table_price(prices, model)) {
            cost = (input * price->first + output * price->second) / kPerMillion;
        } else {
            cost = builtin_cost(model, input, output);
        }
        if (!cost) {
            usage.unpriced.push_back(model.empty() ? "(unnamed)" : model);
            usage.cost.reset();
        } else if (usage.cost) {
            *usage.cost += *cost;
        }
    }
    return usage;
}

}  // namespace zorvanai::agent
