#include <cstdlib>

#include "agent.hpp"
#include "zorvan/console.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::agent {

namespace {

constexpr const char* kDefaultMssqlDriver = "ODBC Driver 18 for SQL Server";

std::string text_of(const py::object& value) {
    return py::str(value);
}

// Percent-encodes everything but unreserved characters, so that "@", "/",
// ":", "%", "#" and "?" in a user name or password cannot end the field.
std::string encoded(const py::object& value) {
    return zorvan::imported(zorvan::dep::urllib_parse_quote)(text_of(value), py::arg("safe") = "").cast<std::string>();
}

// An IPv6 address stands in brackets in a URL, or its colons read as a port.
std::string host_part(const py::object& host) {
    const std::string text = text_of(host);
    if (text.find(':') != std::string::npos && text.front() != '[') return "[" + text + "]";
    return text;
}

py::object scheme_for(const py::object& engine) {
    if (!py::isinstance<py::str>(engine)) return py::none();
    const std::string name = engine.cast<std::string>();
    if (name == "PostgreSQL") return py::str("postgresql+psycopg2");
    if (name == "MsSQL") return py::str("mssql+pyodbc");
    if (name == "MySQL") return py::str("mysql+mysqlconnector");
    return py::none();
}

// The SQLite file, opened read-only through SQLite's URI form.
std::string sqlite_address(const py::object& db_name) {
    py::module_ os = zorvan::imported_module(zorvan::dep::os_module);
    if (db_name.is_none()) throw py::value_error("db_name must name the SQLite database file");
    py::object path = os.attr("path").attr("abspath")(os.attr("fspath")(db_name));
    if (!py::bool_(os.attr("path").attr("isfile")(path))) {
        py::object error = zorvan::imported(zorvan::dep::builtins_FileNotFoundError)(
            zorvan::imported(zorvan::dep::errno_ENOENT), "No SQLite database file", path);
        PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
        throw py::error_already_set();
    }
    py::dict query;
    query["mode"] = "ro";
    query["uri"] = "true";
    const std::string file = "file:" + std::string(py::str(zorvan::imported(zorvan::dep::urllib_parse_quote)(path)));
    py::object url = zorvan::imported(zorvan::dep::sqlalchemy_engine_URL)
                         .attr("create")("sqlite", py::arg("database") = file, py::arg("query") = query);
    return py::str(url.attr("render_as_string")(py::arg("hide_password") = false));
}

// ODBC needs the driver by name; ZORVAN_MSSQL_DRIVER names another one.
std::string mssql_driver_query() {
    const char* raw = std::getenv("ZORVAN_MSSQL_DRIVER");
    const std::string driver = raw != nullptr && *raw != '\0' ? raw : kDefaultMssqlDriver;
    return "?driver=" + zorvan::imported(zorvan::dep::urllib_parse_quote_plus)(driver).cast<std::string>();
}

py::object settings_from(const py::object& settings_class, const py::object& record) {
    auto field = [&record](const char* key) { return record.attr("get")(key); };
    return settings_class(py::arg("azure_deployment") = field("deployment_name"),
                          py::arg("azure_endpoint") = field("azure_endpoint"), py::arg("api_key") = field("api_key"),
                          py::arg("api_version") = field("api_version"));
}

// The graph over the vendor's two deployments, or None when it lacks one.
py::object vendor_graph(py::module_ m, const py::object& db) {
    py::object deployments = zorvan::imported(zorvan::dep::zorvanai_api_fetch_deployments)();
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
    if (py::bool_(config_35.attr("azure_endpoint")) && py::bool_(config_4.attr("azure_endpoint"))) {
        zorvan::say(py::str("Agent is Ready!"));
        return m.attr("SQLGraph")(py::arg("custom_sql_db") = db, py::arg("config_35") = config_35,
                                  py::arg("config_4") = config_4);
    }
    zorvan::say(py::str("Internal Server Error!"));
    return py::none();
}

}  // namespace

std::optional<bool> optional_flag(const py::object& value, const char* name) {
    if (value.is_none()) return std::nullopt;
    if (!py::isinstance<py::bool_>(value)) {
        throw py::type_error(std::string(name) + " must be True, False or None, not " + zorvan::type_name(value));
    }
    return value.cast<bool>();
}

std::string connection_address(const py::object& engine, const py::object& db_name, const py::object& db_user,
                               const py::object& db_password, const py::object& db_host, const py::object& db_port) {
    if (py::isinstance<py::str>(engine) && engine.cast<std::string>() == "SQLite") return sqlite_address(db_name);
    py::object scheme = scheme_for(engine);
    std::string address = text_of(scheme) + "://" + encoded(db_user) + ":" + encoded(db_password) + "@" +
                          host_part(db_host) + ":" + text_of(db_port) + "/" + text_of(db_name);
    if (!scheme.is_none() && engine.cast<std::string>() == "MsSQL") address += mssql_driver_query();
    return address;
}

py::object create_agent(py::module_ m, const py::object& engine, const py::object& db_name, const py::object& db_user,
                        const py::object& db_password, const py::object& db_host, const py::object& db_port,
                        const py::dict& options) {
    py::dict model_options;
    py::object quiet_option = py::none();
    for (auto item : options) {
        if (py::str(item.first).cast<std::string>() == "quiet") {
            quiet_option = py::reinterpret_borrow<py::object>(item.second);
        } else {
            model_options[item.first] = item.second;
        }
    }
    const std::optional<bool> quiet = optional_flag(quiet_option, "quiet");
    zorvan::QuietScope scope(quiet);
    // Settings first: a missing one is reported before anything connects.
    py::object models = zorvan::imported(zorvan::dep::zorvanai_settings_load_model_settings)(**model_options);
    const std::string provider = py::str(models.attr("provider"));

    const std::string uri = connection_address(engine, db_name, db_user, db_password, db_host, db_port);
    py::object db = m.attr("CustomSQLDatabase").attr("from_uri")(uri);

    py::object graph;
    if (provider == "vendor") {
        graph = vendor_graph(m, db);
        if (graph.is_none()) return graph;
    } else {
        zorvan::say(py::str("Agent is Ready!"));
        graph = m.attr("SQLGraph")(py::arg("custom_sql_db") = db, py::arg("config_35") = models.attr("light"),
                                   py::arg("config_4") = models.attr("strong"),
                                   py::arg("config_pandas") = models.attr("pandas"));
    }
    graph.attr("model_provider") = py::str(provider);
    graph.attr("model_prices") = models.attr("prices");
    graph.attr("quiet") = quiet_option;
    return graph;
}

}  // namespace zorvanai::agent
