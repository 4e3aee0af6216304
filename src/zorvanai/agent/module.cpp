#include <pybind11/pybind11.h>

#include "agent.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace agent = zorvanai::agent;

namespace {
// `from module import *`: the names in __all__, else every public name.
void import_public_names(py::module_& into, const char* module_name) {
    py::module_ source = py::module_::import(module_name);
    py::object names = py::getattr(source, "__all__", py::none());
    if (names.is_none()) {
        py::list public_names;
        for (auto item : source.attr("__dict__").cast<py::dict>()) {
            if (py::str(item.first).cast<std::string>().rfind("_", 0) != 0) public_names.append(item.first);
        }
        names = public_names;
    }
    for (py::handle name : names) into.attr(name) = source.attr(name);
}

constexpr const char* kCreateAgentParams =
    "(engine, db_name, db_user=None, db_password=None, db_host=None, db_port=None, *, model_provider=None, "
    "model=None, pandas_model=None, azure_endpoint=None, azure_api_key=None, api_version=None, base_url=None, "
    "openai_api_key=None, model_prices=None, quiet=None)";
}  // namespace

PYBIND11_MODULE(agent, m) {
    m.doc() =
        R"(Create an assistant for one database and ask it questions.

    from zorvanai.agent import create_agent, run_agent
    agent = create_agent("PostgreSQL", "shop", "analyst", "secret", "localhost", 5432)
    answer = run_agent(agent, "my-account-key", "Which five products sold best?", "media")

The chat models come from the vendor service, Azure OpenAI or any OpenAI-compatible
endpoint (see zorvanai.settings.load_model_settings). Loading the module loads the
.env file of the working directory (or of its nearest parent that has one) into the
environment, without replacing variables already set. It also offers every public
name of zorvanai.codetool.)";
    // The libraries the functions use; a missing one makes loading fail.
    zorvan::import_langchain_community();
    for (const char* name : {"os", "traceback", "urllib.parse", "requests", "langchain_openai",
                             "langchain_community.callbacks", "langchain_classic.agents.agent"}) {
        py::module_::import(name);
    }
    m.attr("ZorvanAPIHandler") = zorvan::imported(zorvan::dep::zorvanai_api_ZorvanAPIHandler);
    import_public_names(m, "zorvanai.codetool");
    py::module_ settings = zorvan::imported_module(zorvan::dep::zorvanai_settings_module);
    m.attr("AzureOpenAIChat4") = settings.attr("AzureOpenAIChat4");
    m.attr("AzureOpenAIChat35") = settings.attr("AzureOpenAIChat35");
    m.attr("CustomSQLDatabase") = zorvan::imported(zorvan::dep::zorvanai_qa_graph_custom_sql_CustomSQLDatabase);
    m.attr("SQLGraph") = zorvan::imported(zorvan::dep::zorvanai_qa_graph_qa_graph_SQLGraph);
    // A compiled module has no source directory to search from, so the .env
    // file is looked for in the working directory (and then its parents).
    py::module_ dotenv = zorvan::imported_module(zorvan::dep::dotenv_module);
    py::object env_file = dotenv.attr("find_dotenv")(py::arg("usecwd") = true);
    if (py::len(env_file) > 0) dotenv.attr("load_dotenv")(env_file);

    const std::string module_name = py::str(m.attr("__name__"));
    m.attr("AnswerRecord") = agent::make_answer_record_type(module_name);
    agent::add_usage_support(m);
    agent::add_trace_support(m);
    py::module_ self = m;
    zorvan::def(
        m, "create_agent", kCreateAgentParams,
        R"(Create an assistant for one database.

Connects to the database, finds the chat models and builds the question-answering
graph. The models come from the vendor service (GET
{ZORVAN_API_URL}/zorvan/azure-openais/), Azure OpenAI or an OpenAI-compatible
endpoint, as zorvanai.settings.load_model_settings finds them; each keyword below
overrides its environment variable.

Args:
    engine: "PostgreSQL", "MySQL", "MsSQL" or "SQLite" (exactly so).
    db_name: database name; for SQLite the database file (opened read-only).
    db_user: user name (not used for SQLite).
    db_password: password (any characters).
    db_host: host name or address (an IPv6 address as it is, without brackets).
    db_port: port, as a number or as text.
    model_provider: "vendor", "azure" or "openai" (ZORVAN_MODEL_PROVIDER).
    model: the model, or the Azure deployment (ZORVAN_MODEL).
    pandas_model: the model that writes the analysis scripts (ZORVAN_PANDAS_MODEL).
    azure_endpoint: the Azure OpenAI resource (AZURE_OPENAI_ENDPOINT).
    azure_api_key: its key (AZURE_OPENAI_API_KEY).
    api_version: the Azure OpenAI API version (OPENAI_API_VERSION).
    base_url: an OpenAI-compatible endpoint (OPENAI_BASE_URL).
    openai_api_key: its key (OPENAI_API_KEY).
    model_prices: {model: {"input": USD, "output": USD}} per million tokens, over
        ZORVAN_MODEL_PRICES and the built-in table.
    quiet: True sends the lines the package prints ("Agent is Ready!", the prompt
        lines, ...) to the logger "zorvanai" at DEBUG instead, here and in every
        run_agent of this assistant; None follows ZORVAN_QUIET.

Returns:
    The SQLGraph, or None (after printing "Internal Server Error!") when the vendor
    service did not supply both chat deployments with an endpoint.

Raises:
    sqlalchemy.exc.SQLAlchemyError or the driver's error: the database cannot be reached.
    FileNotFoundError: the SQLite file does not exist.
    zorvanai.api.ConfigurationError: a model setting is missing or unusable; the message
        names each one.
    zorvanai.api.VendorServiceError: the deployment list could not be fetched in time or
        is not a JSON list.
    KeyError: a deployment record has no "model".)",
        [self](py::object engine, py::object db_name, py::object db_user, py::object db_password, py::object db_host,
               py::object db_port, py::object model_provider, py::object model, py::object pandas_model,
               py::object azure_endpoint, py::object azure_api_key, py::object api_version, py::object base_url,
               py::object openai_api_key, py::object model_prices, py::object quiet) {
            py::dict options;
            const std::pair<const char*, py::object> given[] = {{"model_provider", model_provider},
                                                                {"model", model},
                                                                {"pandas_model", pandas_model},
                                                                {"azure_endpoint", azure_endpoint},
                                                                {"azure_api_key", azure_api_key},
                                                                {"api_version", api_version},
                                                                {"base_url", base_url},
                                                                {"openai_api_key", openai_api_key},
                                                                {"model_prices", model_prices},
                                                                {"quiet", quiet}};
            for (const auto& [name, value] : given) options[name] = value;
            return agent::create_agent(self, engine, db_name, db_user, db_password, db_host, db_port, options);
        },
        py::arg("engine"), py::arg("db_name"), py::arg("db_user") = py::none(), py::arg("db_password") = py::none(),
        py::arg("db_host") = py::none(), py::arg("db_port") = py::none(), py::kw_only(),
        py::arg("model_provider") = py::none(), py::arg("model") = py::none(), py::arg("pandas_model") = py::none(),
        py::arg("azure_endpoint") = py::none(), py::arg("azure_api_key") = py::none(),
        py::arg("api_version") = py::none(), py::arg("base_url") = py::none(), py::arg("openai_api_key") = py::none(),
        py::arg("model_prices") = py::none(), py::arg("quiet") = py::none());
    m.attr("send_user_question") = zorvan::imported(zorvan::dep::zorvanai_api_send_user_question);
    zorvan::def(
        m, "run_agent", "(agent, zorvan_api_key, query, media_path)",
        R"(Ask the assistant one question.

Creates media_path and runs the graph while every chat model reply is metered. With
the vendor service as model source, the question with its token count and cost is
then reported to it in the background (zorvanai.api.send_user_question_later); the
usage is also logged at INFO on the logger "zorvanai" (and, with the quiet switch on,
a failed question at WARNING). The cost comes from
model_prices / ZORVAN_MODEL_PRICES, then the built-in table of OpenAI models; with a
model in neither it is "unknown".

Args:
    agent: the SQLGraph made by create_agent, or None.
    zorvan_api_key: the account key, used for the vendor's usage report.
    query: the question.
    media_path: directory where generated scripts save charts.

Returns:
    An AnswerRecord: {"output", "python_code", "image_path", "generated_query",
    "sql_execution_result"}; {"output": "An error occurred"} when the graph failed
    (the error is printed); or "Error: No output generated from the agent." when
    agent is None.)",
        [self](py::object agent_graph, py::object key, py::object query, py::object media_path) {
            return agent::run_question(self, agent_graph, key, query, media_path, true).result;
        },
        py::arg("agent"), py::arg("zorvan_api_key"), py::arg("query"), py::arg("media_path"));
    zorvan::def(
        m, "answer_question", "(agent, zorvan_api_key, query, media_path)",
        R"(Answer one question with an assistant, raising what went wrong.

The same run as run_agent (media directory, usage meter, background usage report on
the vendor path), but failures are raised as the package's exceptions instead of
being printed, each with the original error as its __cause__.

Args:
    agent: the SQLGraph made by create_agent.
    zorvan_api_key: the account key, used for the vendor's usage report.
    query: the question.
    media_path: directory where generated scripts save charts.

Returns:
    {"answer": the AnswerRecord, "total_tokens": tokens of every model call,
    "total_cost": their cost in US dollars, or "unknown" for a model without a price}.

Raises:
    zorvanai.errors.ConfigurationError: agent is None.
    zorvanai.errors.ModelServiceError: the chat model failed or its reply did not parse.
    zorvanai.errors.DatabaseError: the database failed, or refused every query written
        for the question (then ``answer`` holds the model's answer record, and
        ``total_tokens`` and ``total_cost`` what it used).)",
        [self](py::object agent_graph, py::object key, py::object query, py::object media_path) {
            return agent::answer_question(self, agent_graph, key, query, media_path);
        },
        py::arg("agent"), py::arg("zorvan_api_key"), py::arg("query"), py::arg("media_path"));
    // For measuring answers over a question set: what one question's run
    // executed, picked and used, and how it failed.
    m.attr("_run_for_evaluation") = py::cpp_function(
        [self](py::object agent_graph, py::object key, py::object query, py::object media_path) {
            return agent::run_for_evaluation(self, agent_graph, key, query, media_path);
        },
        py::arg("agent"), py::arg("zorvan_api_key"), py::arg("query"), py::arg("media_path"));
    zorvan::def(
        m, "create_chat_openai_instance", "(zorvan_api_key)",
        R"(Make an OpenAI chat client from the settings the vendor service holds for an account.

Args:
    zorvan_api_key: the account key.

Returns:
    A langchain_openai.ChatOpenAI (not contacted yet).

Raises:
    zorvanai.api.ConfigurationError, zorvanai.api.VendorServiceError: the settings
        could not be fetched.)",
        [self](py::object key) { return agent::create_chat_openai_instance(self, key); }, py::arg("zorvan_api_key"));
    m.attr("CustomRunnableAgent") = agent::make_custom_runnable_agent_class(module_name);
}
