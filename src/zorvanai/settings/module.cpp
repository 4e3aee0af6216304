#include <pybind11/pybind11.h>

#include "settings.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace settings = zorvanai::settings;

PYBIND11_MODULE(settings, m) {
    m.doc() =
        "Settings of the chat models, and the loader of every setting a front end needs.\n\n"
        "    from zorvanai.settings import AzureOpenAIChat35, OpenAIChatSettings, load_model_settings\n"
        "    light = AzureOpenAIChat35(azure_deployment=\"gpt35\", "
        "azure_endpoint=\"https://example.openai.azure.com\",\n"
        "                              api_key=\"key\", api_version=\"2024-10-21\")\n"
        "    local = OpenAIChatSettings(model=\"llama3.1\", base_url=\"http://localhost:11434/v1\")\n"
        "    models = load_model_settings()      # from the environment: vendor, azure or openai";
    const std::string name = py::str(m.attr("__name__"));
    m.attr("AzureOpenAIChat35") = settings::make_settings_class("AzureOpenAIChat35", "lighter", name);
    m.attr("AzureOpenAIChat4") = settings::make_settings_class("AzureOpenAIChat4", "stronger", name);
    m.attr("OpenAIChatSettings") = settings::make_openai_settings_class(name);
    m.attr("ModelSettings") = settings::make_model_settings_class(name);
    m.attr("Settings") = settings::make_loaded_settings_class(name);
    m.attr("NO_MODEL_HELP") = py::str(settings::kNoModelHelp);
    py::module_ self = m;
    zorvan::def(m, "load_model_settings", "(**overrides)",
                "Find where the chat models come from and how to reach them.\n\n"
                "Each keyword overrides the environment variable named after it; a .env file is not\n"
                "read here (zorvanai.agent loads one when it is imported).\n\n"
                "The provider is ZORVAN_MODEL_PROVIDER (vendor, azure or openai); when it is not set,\n"
                "vendor if ZORVAN_API_URL is set, else azure if AZURE_OPENAI_ENDPOINT is set, else\n"
                "openai if OPENAI_BASE_URL or OPENAI_API_KEY is set.\n\n"
                "Args:\n"
                "    **overrides: model_provider (ZORVAN_MODEL_PROVIDER), model (ZORVAN_MODEL: the\n"
                "        model or Azure deployment), pandas_model (ZORVAN_PANDAS_MODEL: the script\n"
                "        model, optional), azure_endpoint (AZURE_OPENAI_ENDPOINT), azure_api_key\n"
                "        (AZURE_OPENAI_API_KEY), api_version (OPENAI_API_VERSION, default 2024-10-21),\n"
                "        base_url (OPENAI_BASE_URL, default OpenAI's own), openai_api_key\n"
                "        (OPENAI_API_KEY; a local server needs none), model_prices (a dict, over\n"
                "        ZORVAN_MODEL_PRICES).\n\n"
                "Returns:\n    A ModelSettings record.\n\n"
                "Raises:\n"
                "    zorvanai.api.ConfigurationError: one line per missing or unusable setting, each\n"
                "        naming its variable (or keyword); NO_MODEL_HELP when no model is configured.\n"
                "    TypeError: an unknown keyword, or a value that is not a str.",
                [self](py::kwargs overrides) { return settings::load_model_settings(self, overrides); });
    zorvan::def(
        m, "load_settings", "(database=True, models=True)",
        "Read every setting of a front end, after loading the nearest .env file.\n\n"
        "The database from ZORVAN_DB_ENGINE (PostgreSQL, MySQL, MsSQL or SQLite, any case;\n"
        "postgres, mariadb and sqlserver too), ZORVAN_DB_NAME (the file for SQLite),\n"
        "ZORVAN_DB_USER, ZORVAN_DB_PASSWORD (default empty), ZORVAN_DB_HOST and ZORVAN_DB_PORT\n"
        "(default 5432, 3306 or 1433 by engine); the models as load_model_settings finds them;\n"
        "ZORVAN_API_KEY (needed for the vendor service); ZORVAN_MEDIA_DIR; ZORVAN_QUIET.\n"
        "Variables already set win over the .env file.\n\n"
        "Args:\n    database: False leaves the database settings out (empty texts, port 0).\n"
        "    models: False leaves the chat models out (models is None).\n\n"
        "Returns:\n    A Settings record.\n\n"
        "Raises:\n    zorvanai.api.ConfigurationError: one line per missing or unusable setting,\n"
        "        each naming its variable.",
        [self](bool database, bool models) { return settings::load_settings(self, database, models); },
        py::arg("database") = true, py::arg("models") = true);
}
