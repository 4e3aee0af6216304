// The settings of a front end (the zorvanai command, examples/ask.py): the
// database, the chat models, the vendor account key and the media
// directory, read from the environment after loading the nearest .env file.
#include <algorithm>
#include <cctype>
#include <map>

#include "settings.hpp"
#include "zorvan/console.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::settings {

namespace {

struct Engine {
    const char* name;
    long default_port;
};

std::optional<Engine> engine_of(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const std::map<std::string, Engine> engines = {
        {"postgresql", {"PostgreSQL", 5432}},
        {"postgres", {"PostgreSQL", 5432}},
        {"mysql", {"MySQL", 3306}},
        {"mariadb", {"MySQL", 3306}},
        {"mssql", {"MsSQL", 1433}},
        {"sqlserver", {"MsSQL", 1433}},
        {"sqlite", {"SQLite", 0}},
        {"sqlite3", {"SQLite", 0}},
    };
    auto found = engines.find(text);
    if (found == engines.end()) return std::nullopt;
    return found->second;
}

std::string required(const char* variable, const char* meaning, Problems& problems) {
    auto value = environment_text(variable);
    if (!value) {
        problems.add(std::string(variable) + " is not set: set it to " + meaning);
        return "";
    }
    return *value;
}

// "[::1]" and "::1" both name the host ::1; the address is bracketed later.
std::string host_of(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return host;
}

py::object port_of(const std::string& engine, long default_port, Problems& problems) {
    auto text = environment_text("ZORVAN_DB_PORT");
    if (!text) return py::int_(default_port);
    std::size_t used = 0;
    long port = -1;
    try {
        port = std::stol(*text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text->size() || port < 1 || port > 65535) {
        problems.add("ZORVAN_DB_PORT is '" + *text + "': set it to the port number (1 to 65535; " + engine +
                     " usually listens on " + std::to_string(default_port) + ")");
        return py::int_(0);
    }
    return py::int_(port);
}

// Without a database (or for an SQLite file) the fields that do not apply
// are empty texts and port 0.
void clear_database(py::object record) {
    for (const char* field : {"engine", "db_name", "db_user", "db_password", "db_host"}) {
        record.attr(field) = py::str("");
    }
    record.attr("db_port") = py::int_(0);
}

void read_database(py::object record, Problems& problems) {
    clear_database(record);
    auto engine_text = environment_text("ZORVAN_DB_ENGINE");
    std::optional<Engine> engine;
    if (!engine_text) {
        problems.add("ZORVAN_DB_ENGINE is not set: set it to the database kind: PostgreSQL, MySQL, MsSQL or SQLite");
    } else if (!(engine = engine_of(*engine_text))) {
        problems.add("ZORVAN_DB_ENGINE is '" + *engine_text + "': set it to PostgreSQL, MySQL, MsSQL or SQLite");
    }
    if (engine && std::string(engine->name) == "SQLite") {
        record.attr("engine") = py::str(engine->name);
        record.attr("db_name") = py::str(required("ZORVAN_DB_NAME", "the path of the SQLite database file", problems));
        return;
    }
    const std::string name = required("ZORVAN_DB_NAME", "the name of the database to ask about", problems);
    const std::string user = required("ZORVAN_DB_USER", "the user name to log in with", problems);
    const std::string host = required("ZORVAN_DB_HOST", "the database server's host name or address", problems);
    if (!engine) return;
    record.attr("engine") = py::str(engine->name);
    record.attr("db_name") = py::str(name);
    record.attr("db_user") = py::str(user);
    py::object password = zorvan::imported(zorvan::dep::os_environ).attr("get")("ZORVAN_DB_PASSWORD", "");
    record.attr("db_password") = password;
    record.attr("db_host") = py::str(host_of(host));
    record.attr("db_port") = port_of(engine->name, engine->default_port, problems);
}

}  // namespace

py::object load_settings(py::module_ m, bool database, bool models_wanted) {
    py::module_ dotenv = zorvan::imported_module(zorvan::dep::dotenv_module);
    const std::string path = py::str(dotenv.attr("find_dotenv")(py::arg("usecwd") = true));
    if (!path.empty()) dotenv.attr("load_dotenv")(path, py::arg("override") = false);

    Problems problems;
    py::object record = m.attr("Settings")();
    if (database) {
        read_database(record, problems);
    } else {
        clear_database(record);
    }
    py::object models = models_wanted ? model_settings(m, Inputs(py::dict()), problems) : py::object(py::none());
    record.attr("models") = models;
    auto key = environment_text("ZORVAN_API_KEY");
    if (!key && models_wanted && py::str("vendor").equal(models.attr("provider"))) {
        problems.add("ZORVAN_API_KEY is not set: set it to your account key for the vendor service");
    }
    record.attr("api_key") = key ? py::object(py::str(*key)) : py::object(py::none());
    record.attr("media_dir") = py::str(environment_text("ZORVAN_MEDIA_DIR").value_or("media"));
    try {
        record.attr("quiet") = py::bool_(zorvan::env_flag(zorvan::kQuietVariable));
    } catch (const py::value_error& error) {
        problems.add(error.what());
        record.attr("quiet") = py::bool_(false);
    }
    problems.raise_if_any();
    return record;
}

}  // namespace zorvanai::settings
