#include <pybind11/pybind11.h>

#include "agent.hpp"
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
}  // namespace

PYBIND11_MODULE(agent, m) {
    m.doc() =
        "Create an assistant for one database and ask it questions.\n\n"
        "    from zorvanai.agent import create_agent, run_agent\n"
        "    agent = create_agent(\"PostgreSQL\", \"shop\", \"analyst\", \"secret\", \"localhost\", 5432)\n"
        "    answer = run_agent(agent, \"my-account-key\", \"Which five products sold best?\", \"media\")\n\n"
        "Loading the module loads the .env file of the working directory (or of its nearest\n"
        "parent that has one) into the environment, without replacing variables already set.\n"
        "It also offers every public name of zorvanai.codetool.";
    // The libraries the functions use; a missing one makes loading fail.
    for (const char* name : {"os", "traceback", "urllib.parse", "requests", "langchain_openai",
                             "langchain_community.callbacks", "langchain_classic.agents.agent"}) {
        py::module_::import(name);
    }
    m.attr("ZorvanAPIHandler") = py::module_::import("zorvanai.api").attr("ZorvanAPIHandler");
    import_public_names(m, "zorvanai.codetool");
    py::module_ settings = py::module_::import("zorvanai.settings");
    m.attr("AzureOpenAIChat4") = settings.attr("AzureOpenAIChat4");
    m.attr("AzureOpenAIChat35") = settings.attr("AzureOpenAIChat35");
    m.attr("CustomSQLDatabase") = py::module_::import("zorvanai.qa_graph.custom_sql").attr("CustomSQLDatabase");
    m.attr("SQLGraph") = py::module_::import("zorvanai.qa_graph.qa_graph").attr("SQLGraph");
    // A compiled module has no source directory to search from, so the .env
    // file is looked for in the working directory (and then its parents).
    py::module_ dotenv = py::module_::import("dotenv");
    py::object env_file = dotenv.attr("find_dotenv")(py::arg("usecwd") = true);
    if (py::len(env_file) > 0) dotenv.attr("load_dotenv")(env_file);

    const std::string module_name = py::str(m.attr("__name__"));
    py::module_ self = m;
    zorvan::def(
        m, "create_agent", "(engine, db_name, db_user, db_password, db_host, db_port)",
        "Create an assistant for one database.\n\n"
        "Connects to the database, fetches the chat deployments from the vendor service\n"
        "(GET {ZORVAN_API_URL}/zorvan/azure-openais/) and builds the question-answering graph.\n\n"
        "Args:\n    engine: \"PostgreSQL\", \"MySQL\" or \"MsSQL\" (exactly so).\n    db_name: database name.\n"
        "    db_user: user name.\n    db_password: password (any characters).\n    db_host: host name or address.\n"
        "    db_port: port, as a number or as text.\n\n"
        "Returns:\n    The SQLGraph, or None (after printing \"Internal Server Error!\") when the vendor\n"
        "    service did not supply both chat deployments with an endpoint.\n\n"
        "Raises:\n    sqlalchemy.exc.SQLAlchemyError or the driver's error: the database cannot be reached.\n"
        "    zorvanai.api.ConfigurationError: ZORVAN_API_URL is not set.\n"
        "    zorvanai.api.VendorServiceError: the deployment list could not be fetched in time or\n"
        "        is not a JSON list.\n    KeyError: a deployment record has no \"model\".",
        [self](py::object engine, py::object db_name, py::object db_user, py::object db_password, py::object db_host,
               py::object db_port) {
            return agent::create_agent(self, engine, db_name, db_user, db_password, db_host, db_port);
        },
        py::arg("engine"), py::arg("db_name"), py::arg("db_user"), py::arg("db_password"), py::arg("db_host"),
        py::arg("db_port"));
    m.attr("send_user_question") = py::module_::import("zorvanai.api").attr("send_user_question");
    zorvan::def(
        m, "run_agent", "(agent, zorvan_api_key, query, media_path)",
        "Ask the assistant one question.\n\n"
        "Creates media_path, runs the graph under a usage meter and reports the question\n"
        "with its token count and cost to the vendor service.\n\n"
        "Args:\n    agent: the SQLGraph made by create_agent, or None.\n"
        "    zorvan_api_key: the account key, used for the usage report.\n    query: the question.\n"
        "    media_path: directory where generated scripts save charts.\n\n"
        "Returns:\n    {\"output\", \"python_code\", \"image_path\", \"generated_query\",\n"
        "    \"sql_execution_result\"}; {\"output\": \"An error occurred\"} when the graph failed\n"
        "    (the error is printed); or \"Error: No output generated from the agent.\" when\n"
        "    agent is None.",
        [self](py::object agent_graph, py::object key, py::object query, py::object media_path) {
            return agent::run_agent(self, agent_graph, key, query, media_path);
        },
        py::arg("agent"), py::arg("zorvan_api_key"), py::arg("query"), py::arg("media_path"));
    zorvan::def(
        m, "create_chat_openai_instance", "(zorvan_api_key)",
        "Make an OpenAI chat client from the settings the vendor service holds for an account.\n\n"
        "Args:\n    zorvan_api_key: the account key.\n\n"
        "Returns:\n    A langchain_openai.ChatOpenAI (not contacted yet).\n\n"
        "Raises:\n    zorvanai.api.ConfigurationError, zorvanai.api.VendorServiceError: the settings\n"
        "        could not be fetched.",
        [self](py::object key) { return agent::create_chat_openai_instance(self, key); }, py::arg("zorvan_api_key"));
    m.attr("CustomRunnableAgent") = agent::make_custom_runnable_agent_class(module_name);
}
