#include <cctype>
#include <map>
#include <optional>
#include <vector>

#include "cli.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

namespace {

std::optional<std::string> environment(const char* name) {
    py::object value = zorvan::import_attr("os", "environ").attr("get")(name);
    if (value.is_none()) return std::nullopt;
    return value.cast<std::string>();
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct EngineInfo {
    const char* name;
    long default_port;
};

// Accepted spellings of ZORVAN_DB_ENGINE; the agent wants the exact names.
std::optional<EngineInfo> engine_of(const std::string& text) {
    static const std::map<std::string, EngineInfo> engines = {
        {"postgresql", {"PostgreSQL", 5432}}, {"postgres", {"PostgreSQL", 5432}}, {"mysql", {"MySQL", 3306}},
        {"mariadb", {"MySQL", 3306}},         {"mssql", {"MsSQL", 1433}},
    };
    auto found = engines.find(lower(text));
    if (found == engines.end()) return std::nullopt;
    return found->second;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

void load_env_file() {
    py::module_ dotenv = py::module_::import("dotenv");
    std::string path = py::str(dotenv.attr("find_dotenv")(py::arg("usecwd") = true));
    if (!path.empty()) dotenv.attr("load_dotenv")(path, py::arg("override") = false);
}

std::string required_variable(const char* name, const char* meaning) {
    auto value = environment(name);
    if (!value || value->empty()) {
        throw CommandError(std::string("missing configuration: ") + name + " (" + meaning +
                               "); set it in the environment or in a .env file",
                           kExitUsage);
    }
    return *value;
}

DatabaseSettings database_settings() {
    std::vector<std::string> missing;
    auto take = [&missing](const char* name) {
        auto value = environment(name);
        if (!value || value->empty()) {
            missing.emplace_back(name);
            return std::string();
        }
        return *value;
    };
    DatabaseSettings settings;
    const std::string engine = take("ZORVAN_DB_ENGINE");
    settings.name = take("ZORVAN_DB_NAME");
    settings.user = take("ZORVAN_DB_USER");
    settings.host = take("ZORVAN_DB_HOST");
    if (!missing.empty()) {
        throw CommandError("missing configuration: " + joined(missing) +
                               " (the database to use); set them in the environment or in a .env file",
                           kExitUsage);
    }
    auto info = engine_of(engine);
    if (!info) {
        throw CommandError("ZORVAN_DB_ENGINE must be PostgreSQL, MySQL or MsSQL, not '" + engine + "'", kExitUsage);
    }
    settings.engine = info->name;
    settings.password = environment("ZORVAN_DB_PASSWORD").value_or("");
    const std::string port = environment("ZORVAN_DB_PORT").value_or("");
    if (port.empty()) {
        settings.port = info->default_port;
    } else {
        std::size_t used = 0;
        long value = -1;
        try {
            value = std::stol(port, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != port.size() || value <= 0 || value > 65535) {
            throw CommandError("ZORVAN_DB_PORT must be a port number, not '" + port + "'", kExitUsage);
        }
        settings.port = value;
    }
    return settings;
}

}  // namespace zorvanai::cli
