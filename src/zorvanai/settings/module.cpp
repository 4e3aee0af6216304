#include <pybind11/pybind11.h>

#include "settings.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace settings = zorvanai::settings;

PYBIND11_MODULE(settings, m) {
    m.doc() =
        R"(Settings of the chat models, and the loader of every setting a front end needs.

    from zorvanai.settings import AzureOpenAIChat35, OpenAIChatSettings, load_model_settings
    light = AzureOpenAIChat35(azure_deployment="gpt35", azure_endpoint="https://example.openai.azure.com",
                              api_key="key", api_version="2024-10-21")
    local = OpenAIChatSettings(model="llama3.1", base_url="http://localhost:11434/v1")
    models = load_model_settings()      # from the environment: vendor, azure or openai)";
    const std::string name = py::str(m.attr("__name__"));
    m.attr("AzureOpenAIChat35") = settings::make_settings_class("AzureOpenAIChat35", "lighter", name);
    m.attr("AzureOpenAIChat4") = settings::make_settings_class("AzureOpenAIChat4", "stronger", name);
    m.attr("OpenAIChatSettings") = settings::make_openai_settings_class(name);
    m.attr("ModelSettings") = settings::make_model_settings_class(name);
    m.attr("Settings") = settings::make_loaded_settings_class(name);
    m.attr("NO_MODEL_HELP") = py::str(settings::kNoModelHelp);
    py::module_ self = m;
    zorvan::def(m, "load_model_settings", "(**overrides)",
                R"(Find where the chat models come from and how to reach them.

Each keyword overrides the environment variable named after it; a .env file is not
read here (zorvanai.agent loads one when it is imported).

The provider is ZORVAN_MODEL_PROVIDER (vendor, azure or openai); when it is not set,
vendor if ZORVAN_API_URL is set, else azure if AZURE_OPENAI_ENDPOINT is set, else
openai if OPENAI_BASE_URL or OPENAI_API_KEY is set.

Args:
    **overrides: model_provider (ZORVAN_MODEL_PROVIDER), model (ZORVAN_MODEL: the
        model or Azure deployment), pandas_model (ZORVAN_PANDAS_MODEL: the script
        model, optional), azure_endpoint (AZURE_OPENAI_ENDPOINT), azure_api_key
        (AZURE_OPENAI_API_KEY), api_version (OPENAI_API_VERSION, default 2024-10-21),
        base_url (OPENAI_BASE_URL, default OpenAI's own), openai_api_key
        (OPENAI_API_KEY; a local server needs none), model_prices (a dict, over
        ZORVAN_MODEL_PRICES).

Returns:
    A ModelSettings record.

Raises:
    zorvanai.api.ConfigurationError: one line per missing or unusable setting, each
        naming its variable (or keyword); NO_MODEL_HELP when no model is configured.
    TypeError: an unknown keyword, or a value that is not a str.)",
                [self](py::kwargs overrides) { return settings::load_model_settings(self, overrides); });
    zorvan::def(
        m, "load_settings", "(database=True, models=True)",
        R"(Read every setting of a front end, after loading the nearest .env file.

The database from ZORVAN_DB_ENGINE (PostgreSQL, MySQL, MsSQL or SQLite, any case;
postgres, mariadb and sqlserver too), ZORVAN_DB_NAME (the file for SQLite),
ZORVAN_DB_USER, ZORVAN_DB_PASSWORD (default empty), ZORVAN_DB_HOST and ZORVAN_DB_PORT
(default 5432, 3306 or 1433 by engine); the models as load_model_settings finds them;
ZORVAN_API_KEY (needed for the vendor service); ZORVAN_MEDIA_DIR; ZORVAN_QUIET.
Variables already set win over the .env file.

Args:
    database: False leaves the database settings out (empty texts, port 0).
    models: False leaves the chat models out (models is None).

Returns:
    A Settings record.

Raises:
    zorvanai.api.ConfigurationError: one line per missing or unusable setting,
        each naming its variable.)",
        [self](bool database, bool models) { return settings::load_settings(self, database, models); },
        py::arg("database") = true, py::arg("models") = true);
}
