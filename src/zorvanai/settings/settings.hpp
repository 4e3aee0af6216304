// Settings records of the chat models, and the one loader of every setting
// that the command line and the examples share.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "zorvan/signed.hpp"

namespace zorvanai::settings {
namespace py = pybind11;

// __eq__ (same class, same fields) and no hash: the records compare by value.
void add_equality(zorvan::ClassBuilder& builder);

// Builds one deployment settings record class (`AzureOpenAIChat35` or
// `AzureOpenAIChat4`) for the module `module_name`.
py::object make_settings_class(const char* class_name, const char* role, const std::string& module_name);

// OpenAIChatSettings: a model behind an OpenAI-compatible endpoint.
py::object make_openai_settings_class(const std::string& module_name);

// The plain result records: ModelSettings and Settings.
py::object make_model_settings_class(const std::string& module_name);
py::object make_loaded_settings_class(const std::string& module_name);

// One setting: its environment variable and the keyword that overrides it
// (nullptr: environment only).
struct Source {
    const char* variable;
    const char* keyword;
};

inline constexpr Source kProvider{"ZORVAN_MODEL_PROVIDER", "model_provider"};
inline constexpr Source kModel{"ZORVAN_MODEL", "model"};
inline constexpr Source kPandasModel{"ZORVAN_PANDAS_MODEL", "pandas_model"};
inline constexpr Source kAzureEndpoint{"AZURE_OPENAI_ENDPOINT", "azure_endpoint"};
inline constexpr Source kAzureKey{"AZURE_OPENAI_API_KEY", "azure_api_key"};
inline constexpr Source kApiVersion{"OPENAI_API_VERSION", "api_version"};
inline constexpr Source kBaseUrl{"OPENAI_BASE_URL", "base_url"};
inline constexpr Source kOpenAIKey{"OPENAI_API_KEY", "openai_api_key"};

// The keywords of load_model_settings (and of create_agent beyond the
// database arguments).
inline const std::vector<const char*> kModelKeywords = {"model_provider", "model",          "pandas_model",
                                                        "azure_endpoint", "azure_api_key",  "api_version",
                                                        "base_url",       "openai_api_key", "model_prices"};

// What to set when no chat model is configured.
inline constexpr const char* kNoModelHelp =
    R"(no chat model is configured; point zorvanai at one in the environment or in a .env file:
  a local Ollama:  OPENAI_BASE_URL=http://localhost:11434/v1  ZORVAN_MODEL=llama3.1
  OpenAI:          OPENAI_API_KEY=sk-...  ZORVAN_MODEL=gpt-4o-mini
  Azure OpenAI:    AZURE_OPENAI_ENDPOINT=https://NAME.openai.azure.com  AZURE_OPENAI_API_KEY=...  ZORVAN_MODEL=<deployment>
  vendor service:  ZORVAN_API_URL=https://...  ZORVAN_API_KEY=<account key>)";

// A variable's text, trimmed; empty counts as unset.
std::optional<std::string> environment_text(const char* variable);

// Keyword overrides first, then the environment.
class Inputs {
public:
    explicit Inputs(py::dict overrides);
    std::optional<std::string> text(const Source& source) const;
    // How a problem names the setting: the keyword ("model=") when it was
    // given, else the variable.
    std::string name(const Source& source) const;
    // A keyword's value as given (None when absent).
    py::object object(const char* keyword) const;

private:
    py::dict overrides_;
};

// Every problem found, raised at once as zorvanai.api.ConfigurationError
// (one line per problem, each naming its setting).
class Problems {
public:
    void add(const std::string& line);
    void raise_if_any() const;
    bool empty() const { return lines_.empty(); }

private:
    std::vector<std::string> lines_;
};

// TypeError for a keyword that is not in `known`.
void check_keywords(const py::dict& overrides, const std::vector<const char*>& known);

// The ModelSettings record; problems are added, not raised.
py::object model_settings(py::module_ m, const Inputs& inputs, Problems& problems);

// load_model_settings(**overrides) and load_settings(database=True, models=True).
py::object load_model_settings(py::module_ m, const py::dict& overrides);
py::object load_settings(py::module_ m, bool database, bool models);

}  // namespace zorvanai::settings
