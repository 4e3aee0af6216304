#include <cstdlib>

#include "agent.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::agent {

namespace {

constexpr const char* kDeploymentsPath = "/zorvan/azure-openais/";

std::string text_of(const py::object& value) {
    return py::str(value);
}

// Percent-encodes everything but unreserved characters, so that "@", "/",
// ":", "%", "#" and "?" in a user name or password cannot end the field.
std::string encoded(const py::object& value) {
    return zorvan::import_attr("urllib.parse", "quote")(text_of(value), py::arg("safe") = "").cast<std::string>();
}

py::object scheme_for(const py::object& engine) {
    if (!py::isinstance<py::str>(engine)) return py::none();
    const std::string name = engine.cast<std::string>();
    if (name == "PostgreSQL") return py::str("postgresql+psycopg2");
    if (name == "MsSQL") return py::str("mssql+pyodbc");
    if (name == "MySQL") return py::str("mysql+mysqlconnector");
    return py::none();
}

// The deployment list of the vendor service, fetched with a time limit.
py::object fetch_deployments() {
    py::module_ api = py::module_::import("zorvanai.api");
    const std::string url = api.attr("base_url")().cast<std::string>() + kDeploymentsPath;
    const py::object timeout = api.attr("request_timeout")();
    py::object service_error = api.attr("VendorServiceError");
    py::module_ requests = py::module_::import("requests");
    py::object response;
    try {
        response = requests.attr("get")(url, py::arg("timeout") = timeout);
    } catch (py::error_already_set& error) {
        if (!error.matches(requests.attr("RequestException"))) throw;
        zorvan::raise_error(service_error, "Could not fetch the deployment list from " + url + " (" +
                                               zorvan::type_name(error.value()) + ": " +
                                               std::string(py::str(error.value())) + ")");
    }
    const std::string status = py::str(response.attr("status_code"));
    py::object deployments;
    try {
        deployments = response.attr("json")();
    } catch (py::error_already_set& error) {
        zorvan::raise_error(service_error, "The deployment list from " + url + " (HTTP status " + status +
                                               ") is not JSON: " + std::string(py::str(error.value())));
    }
    if (!PyList_Check(deployments.ptr())) {
        zorvan::raise_error(service_error, "The deployment list from " + url + " (HTTP status " + status +
                                               ") is a JSON " + zorvan::type_name(deployments) +
                                               ", not a list of deployment records");
    }
    return deployments;
}

py::object settings_from(const py::object& settings_class, const py::object& record) {
    auto field = [&record](const char* key) { return record.attr("get")(key); };
    return settings_class(py::arg("azure_deployment") = field("deployment_name"),
                          py::arg("azure_endpoint") = field("azure_endpoint"), py::arg("api_key") = field("api_key"),
                          py::arg("api_version") = field("api_version"));
}

}  // namespace

std::string connection_address(const py::object& engine, const py::object& db_name, const py::object& db_user,
                               const py::object& db_password, const py::object& db_host, const py::object& db_port) {
    return text_of(scheme_for(engine)) + "://" + encoded(db_user) + ":" + encoded(db_password) + "@" +
           text_of(db_host) + ":" + text_of(db_port) + "/" + text_of(db_name);
}

py::object create_agent(py::module_ m, const py::object& engine, const py::object& db_name, const py::object& db_user,
                        const py::object& db_password, const py::object& db_host, const py::object& db_port) {
    const std::string uri = connection_address(engine, db_name, db_user, db_password, db_host, db_port);
    py::object db = m.attr("CustomSQLDatabase").attr("from_uri")(uri);

    py::object deployments = fetch_deployments();
    py::object light_class = m.attr("AzureOpenAIChat35");
    py::object strong_class = m.attr("AzureOpenAIChat4");
    py::object config_35 = light_class(py::arg("azure_endpoint") = py::none());
    py::object config_4 = light_class(py::arg("azure_endpoint") = py::none());
    for (py::handle item : deployments) {
        py::object record = py::reinterpret_borrow<py::object>(item);
        py::object model = record[py::str("model")];
        if (model.equal(py::str("GPT-3.5"))) {
            config_35 = settings_from(light_class, record);
        } else if (model.attr("startswith")("GPT-4").cast<bool>()) {
            config_4 = settings_from(strong_class, record);
        }
    }

    py::object print = py::module_::import("builtins").attr("print");
    if (py::bool_(config_35.attr("azure_endpoint")) && py::bool_(config_4.attr("azure_endpoint"))) {
        print("Agent is Ready!");
        return m.attr("SQLGraph")(py::arg("custom_sql_db") = db, py::arg("config_35") = config_35,
                                  py::arg("config_4") = config_4);
    }
    print("Internal Server Error!");
    return py::none();
}

}  // namespace zorvanai::agent
