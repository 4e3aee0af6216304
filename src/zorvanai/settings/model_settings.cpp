// Where the chat models come from: the vendor service, Azure OpenAI
// directly, or any OpenAI-compatible endpoint, chosen and configured from
// keyword arguments, else the environment (which a .env file may fill).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>
#include <vector>

#include "settings.hpp"
#include "zorvan/errors.hpp"
#include "zorvan/http_reply.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::settings {

namespace {

constexpr const char* kDefaultApiVersion = "2024-10-21";

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

py::object configuration_error() {
    return zorvan::error_class(zorvan::ErrorKind::Configuration);
}

// Removes a trailing "/" and "/openai": the client adds that segment itself.
std::string azure_endpoint_of(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    const std::string tail = "/openai";
    if (url.size() > tail.size() && lower(url.substr(url.size() - tail.size())) == tail) {
        url.erase(url.size() - tail.size());
    }
    return url;
}

bool is_web_address(const std::string& url) {
    const std::string start = lower(url.substr(0, 8));
    return start.rfind("http://", 0) == 0 || start.rfind("https://", 0) == 0;
}

// A price table {model: {"input": USD per 1M tokens, "output": ...}}; any
// fault is a problem naming `what`.
std::optional<py::dict> price_table(py::handle value, const std::string& what, Problems& problems) {
    if (!PyDict_Check(value.ptr())) {
        problems.add(what +
                     " must map model names to {\"input\": ..., \"output\": ...} (US dollars per million "
                     "tokens), not a " +
                     zorvan::type_name(value));
        return std::nullopt;
    }
    py::dict table;
    for (auto item : py::reinterpret_borrow<py::dict>(value)) {
        const std::string model = py::str(item.first);
        py::handle entry = item.second;
        bool usable = PyDict_Check(entry.ptr());
        py::dict prices;
        for (const char* side : {"input", "output"}) {
            if (!usable) break;
            py::dict fields = py::reinterpret_borrow<py::dict>(entry);
            py::object price = fields.contains(side) ? py::object(fields[side]) : py::object(py::none());
            const bool number = (py::isinstance<py::int_>(price) || py::isinstance<py::float_>(price)) &&
                                !py::isinstance<py::bool_>(price);
            usable = number && std::isfinite(price.cast<double>()) && price.cast<double>() >= 0;
            if (usable) prices[side] = py::float_(price.cast<double>());
        }
        if (!usable) {
            problems.add(what + ": the price of '" + model +
                         "' must be {\"input\": N, \"output\": N} with N US dollars per million tokens (0 or more)");
            continue;
        }
        table[py::str(model)] = prices;
    }
    return table;
}

// ZORVAN_MODEL_PRICES: JSON text, or the path of a JSON file.
py::dict prices_from_environment(Problems& problems) {
    const char* variable = "ZORVAN_MODEL_PRICES";
    auto raw = environment_text(variable);
    if (!raw) return py::dict();
    std::string text = *raw;
    const std::string what = std::string(variable);
    if (trimmed(text).rfind("{", 0) != 0) {
        py::object path = zorvan::imported(zorvan::dep::pathlib_Path)(text);
        try {
            text = py::str(path.attr("read_text")(py::arg("encoding") = "utf-8"));
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_OSError)) throw;
            problems.add(what + " is '" + *raw + "': neither JSON text nor a readable file (" +
                         std::string(py::str(error.value())) + ")");
            return py::dict();
        }
    }
    py::object parsed;
    try {
        parsed = zorvan::imported(zorvan::dep::json_loads)(text);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        problems.add(what + " is not valid JSON: " + std::string(py::str(error.value())));
        return py::dict();
    }
    return price_table(parsed, what, problems).value_or(py::dict());
}

std::optional<std::string> chosen_provider(const Inputs& inputs, Problems& problems) {
    auto given = inputs.text(kProvider);
    if (given) {
        const std::string name = lower(*given);
        if (name == "vendor" || name == "azure" || name == "openai") return name;
        problems.add(inputs.name(kProvider) + " is '" + *given + "': set it to vendor, azure or openai");
        return std::nullopt;
    }
    if (inputs.text({"ZORVAN_API_URL", nullptr})) return std::string("vendor");
    if (inputs.text(kAzureEndpoint)) return std::string("azure");
    if (inputs.text(kBaseUrl) || inputs.text(kOpenAIKey)) return std::string("openai");
    problems.add(kNoModelHelp);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> environment_text(const char* variable) {
    py::object value = zorvan::imported(zorvan::dep::os_environ).attr("get")(variable);
    if (value.is_none()) return std::nullopt;
    const std::string text = trimmed(value.cast<std::string>());
    if (text.empty()) return std::nullopt;
    return text;
}

Inputs::Inputs(py::dict overrides) : overrides_(std::move(overrides)) {}

std::optional<std::string> Inputs::text(const Source& source) const {
    if (source.keyword != nullptr && overrides_.contains(source.keyword) && !overrides_[source.keyword].is_none()) {
        py::object value = overrides_[source.keyword];
        if (!py::isinstance<py::str>(value)) {
            throw py::type_error(std::string(source.keyword) + " must be a str or None, not " +
                                 zorvan::type_name(value));
        }
        const std::string text = trimmed(value.cast<std::string>());
        if (!text.empty()) return text;
        return std::nullopt;
    }
    return environment_text(source.variable);
}

std::string Inputs::name(const Source& source) const {
    if (source.keyword != nullptr && overrides_.contains(source.keyword) && !overrides_[source.keyword].is_none()) {
        return std::string(source.keyword) + "=";
    }
    return source.variable;
}

py::object Inputs::object(const char* keyword) const {
    if (overrides_.contains(keyword)) return overrides_[keyword];
    return py::none();
}

void Problems::add(const std::string& line) {
    lines_.push_back(line);
}

void Problems::raise_if_any() const {
    if (lines_.empty()) return;
    std::string text;
    for (const auto& line : lines_) text += (text.empty() ? "" : "\n") + line;
    zorvan::raise_error(configuration_error(), text);
}

py::object model_settings(py::module_ m, const Inputs& inputs, Problems& problems) {
    py::dict prices = prices_from_environment(problems);
    py::object given_prices = inputs.object("model_prices");
    if (!given_prices.is_none()) {
        if (auto table = price_table(given_prices, "model_prices", problems)) {
            for (auto item : *table) prices[item.first] = item.second;
        }
    }
    const auto provider = chosen_provider(inputs, problems);
    py::object record = m.attr("ModelSettings")();
    record.attr("provider") = provider ? py::object(py::str(*provider)) : py::object(py::none());
    record.attr("light") = py::none();
    record.attr("strong") = py::none();
    record.attr("pandas") = py::none();
    record.attr("prices") = prices;
    if (!provider) return record;

    if (*provider == "vendor") {
        try {
            zorvan::imported(zorvan::dep::zorvanai_api_base_url)();
        } catch (py::error_already_set& error) {
            if (!error.matches(configuration_error())) throw;
            problems.add(py::str(error.value()));
        }
        return record;
    }

    const auto model = inputs.text(kModel);
    const auto pandas_model = inputs.text(kPandasModel);
    if (*provider == "azure") {
        auto endpoint = inputs.text(kAzureEndpoint);
        const auto key = inputs.text(kAzureKey);
        const std::string version = inputs.text(kApiVersion).value_or(kDefaultApiVersion);
        if (!endpoint) {
            problems.add(inputs.name(kAzureEndpoint) +
                         " is not set: set it to your Azure OpenAI resource, e.g. https://NAME.openai.azure.com");
        } else if (!is_web_address(*endpoint)) {
            problems.add(inputs.name(kAzureEndpoint) + " is '" + *endpoint +
                         "': set it to an https:// address, e.g. https://NAME.openai.azure.com");
            endpoint.reset();
        } else {
            *endpoint = azure_endpoint_of(*endpoint);
            try {
                zorvan::refuse_plain_http(*endpoint, inputs.name(kAzureEndpoint), configuration_error());
            } catch (py::error_already_set& error) {
                if (!error.matches(configuration_error())) throw;
                problems.add(py::str(error.value()));
            }
        }
        if (!key) {
            problems.add(inputs.name(kAzureKey) +
                         " is not set: set it to a key of your Azure OpenAI resource (OPENAI_API_KEY is not used "
                         "for Azure)");
        }
        if (!model) {
            problems.add(inputs.name(kModel) + " is not set: set it to the name of your Azure OpenAI deployment");
        }
        if (!endpoint || !key || !model) return record;
        auto azure = [&](const char* cls, const std::string& deployment) {
            return m.attr(cls)(py::arg("azure_deployment") = deployment, py::arg("azure_endpoint") = *endpoint,
                               py::arg("api_key") = *key, py::arg("api_version") = version);
        };
        record.attr("light") = azure("AzureOpenAIChat35", *model);
        record.attr("strong") = azure("AzureOpenAIChat4", *model);
        if (pandas_model) record.attr("pandas") = azure("AzureOpenAIChat35", *pandas_model);
        return record;
    }

    const auto base_url = inputs.text(kBaseUrl);
    const auto key = inputs.text(kOpenAIKey);
    if (base_url && !is_web_address(*base_url)) {
        problems.add(inputs.name(kBaseUrl) + " is '" + *base_url +
                     "': set it to the server's http:// or https:// address, e.g. http://localhost:11434/v1");
        return record;
    }
    if (base_url && key) {
        try {
            zorvan::refuse_plain_http(*base_url, inputs.name(kBaseUrl), configuration_error());
        } catch (py::error_already_set& error) {
            if (!error.matches(configuration_error())) throw;
            problems.add(py::str(error.value()));
        }
    }
    if (!base_url && !key) {
        problems.add(inputs.name(kOpenAIKey) +
                     " is not set: set it to your OpenAI key, or set OPENAI_BASE_URL to a local OpenAI-compatible "
                     "server (e.g. http://localhost:11434/v1 for Ollama)");
    }
    if (!model) {
        problems.add(inputs.name(kModel) +
                     " is not set: set it to the model's name (e.g. gpt-4o-mini on OpenAI, llama3.1 on Ollama)");
    }
    if (!model || (!base_url && !key)) return record;
    auto openai = [&](const std::string& name) {
        return m.attr("OpenAIChatSettings")(
            py::arg("model") = name, py::arg("base_url") = base_url ? py::object(py::str(*base_url)) : py::none(),
            py::arg("api_key") = key ? py::object(py::str(*key)) : py::none());
    };
    record.attr("light") = openai(*model);
    record.attr("strong") = openai(*model);
    if (pandas_model) record.attr("pandas") = openai(*pandas_model);
    return record;
}

py::object load_model_settings(py::module_ m, const py::dict& overrides) {
    check_keywords(overrides, kModelKeywords);
    Inputs inputs(overrides);
    Problems problems;
    py::object record = model_settings(m, inputs, problems);
    problems.raise_if_any();
    return record;
}

void check_keywords(const py::dict& overrides, const std::vector<const char*>& known) {
    for (auto item : overrides) {
        const std::string key = py::str(item.first);
        const bool found = std::any_of(known.begin(), known.end(), [&key](const char* name) { return key == name; });
        if (!found) throw py::type_error("unknown setting '" + key + "'");
    }
}

}  // namespace zorvanai::settings
