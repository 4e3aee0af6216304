#include "config.hpp"

#include "pycall.hpp"
#include "zorvan/python_names.hpp"

namespace zorvanai::dbtool {

namespace {
constexpr const char* kCheckedNames[] = {"db_name", "db_user", "db_password", "db_host", "db_port"};
}

void load_config(py::module_& module) {
    py::object environ = zorvan::imported(zorvan::dep::os_environ);
    // The port is fixed; the others come from the environment by these exact
    // names, an empty value counting as set. There is no default account or
    // password: an unset one stays None, and no connection is tried with it.
    module.attr("db_port") = py::int_(3306);
    module.attr("db_user") = environ.attr("get")("db_user");
    module.attr("db_password") = environ.attr("get")("db_password");
    module.attr("db_host") = environ.attr("get")("db_host");
    module.attr("db_name") = environ.attr("get")("db_name");
}

Settings current_settings(const py::module_& module) {
    return Settings{module.attr("db_user"), module.attr("db_password"), module.attr("db_host"), module.attr("db_port"),
                    module.attr("db_name")};
}

void set_database_config(py::module_& module, const py::object& name, const py::object& user,
                         const py::object& password, const py::object& host, const py::object& port) {
    // Only absence is refused; bool passes as an int, as it does in Python.
    if (name.is_none() || user.is_none() || password.is_none() || host.is_none() || !py::isinstance<py::int_>(port)) {
        throw py::value_error("All parameters must be provided and 'port' must be an integer.");
    }
    module.attr("db_name") = name;
    module.attr("db_user") = user;
    module.attr("db_password") = password;
    module.attr("db_host") = host;
    module.attr("db_port") = port;
}

py::list check_db_config_variables(const py::module_& module) {
    py::dict record;
    for (const char* name : kCheckedNames) record[name] = module.attr(name);

    py::list invalid;
    const py::str empty("");
    for (auto item : record) {
        py::handle value = item.second;
        if (value.is_none() || value.equal(empty)) invalid.append(item.first);
    }
    if (invalid.size() > 0) {
        print_line(
            format("The following configuration variables are invalid: {}", py::str(", ").attr("join")(invalid)));
    } else {
        print_line(py::str("All configuration variables are set correctly."));
    }
    return invalid;
}

}  // namespace zorvanai::dbtool
