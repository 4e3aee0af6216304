#include "cli.hpp"
#include "zorvan/errors.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

void load_env_file() {
    py::module_ dotenv = zorvan::imported_module(zorvan::dep::dotenv_module);
    std::string path = py::str(dotenv.attr("find_dotenv")(py::arg("usecwd") = true));
    if (!path.empty()) dotenv.attr("load_dotenv")(path, py::arg("override") = false);
}

py::object load_settings(bool database, bool models) {
    py::module_ settings = zorvan::imported_module(zorvan::dep::zorvanai_settings_module);
    try {
        return settings.attr("load_settings")(py::arg("database") = database, py::arg("models") = models);
    } catch (py::error_already_set& error) {
        if (!zorvan::is_error(error, zorvan::ErrorKind::Configuration)) throw;
        throw CommandError(py::str(error.value()), kExitUsage);
    }
}

}  // namespace zorvanai::cli
