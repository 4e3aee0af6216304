// The tool's connection settings: five module attributes (db_port, db_user,
// db_password, db_host, db_name), first taken from the environment when the
// module is loaded, later replaced by set_database_config. The operations
// read the attributes at every call, so a caller that assigns one directly
// is seen too.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::dbtool {
namespace py = pybind11;

// The configuration as read at one moment.
struct Settings {
    py::object user;
    py::object password;
    py::object host;
    py::object port;
    py::object name;
};

// Sets the five attributes of `module` to their load-time values.
void load_config(py::module_& module);

// The current values of the five attributes.
Settings current_settings(const py::module_& module);

// Replaces the whole configuration, or raises ValueError and changes nothing.
void set_database_config(py::module_& module, const py::object& name, const py::object& user,
                         const py::object& password, const py::object& host, const py::object& port);

// Prints one line and returns the names of the settings that are None or "".
py::list check_db_config_variables(const py::module_& module);

}  // namespace zorvanai::dbtool
