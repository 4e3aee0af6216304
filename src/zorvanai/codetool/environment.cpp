#include "environment.hpp"

#include <string>

#include "zorvan/console.hpp"

namespace zorvanai::codetool {
namespace {

constexpr const char* kDefaultPackages[] = {"matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"};

void print_line(const ModuleNamespace& ns, const std::string& text) {
    zorvan::say_with(ns.lookup("print"), py::str(text));
}

}  // namespace

void initialize_environment(const ModuleNamespace& ns, const py::object& env_path_param) {
    ns.assign("env_path", env_path_param);
    ns.lookup("ensure_virtual_environment")();
}

void ensure_virtual_environment(const ModuleNamespace& ns) {
    py::object path = ns.lookup("os").attr("path");
    py::object env_path = ns.lookup("env_path");
    const bool env_exists = path.attr("exists")(env_path).cast<bool>();
    if (!env_exists) ns.lookup("venv").attr("create")(env_path, py::arg("with_pip") = true);
    ns.assign("python_executable", path.attr("join")(env_path, "bin", "python"));
    if (!env_exists) ns.lookup("install_defaults")();
}

void install_defaults(const ModuleNamespace& ns) {
    py::list packages;
    for (const char* name : kDefaultPackages) packages.append(py::str(name));
    ns.lookup("safe_install_modules")(packages);
}

void safe_install_modules(const ModuleNamespace& ns, const py::object& module_names) {
    try {
        ns.lookup("install_dependencies")(module_names);
        print_line(ns, "Installation successful.");
    } catch (py::error_already_set& error) {
        // Interrupts and exit requests are not installation errors.
        if (!error.matches(PyExc_Exception)) throw;
        const std::string text = py::str(error.value());
        print_line(ns, "An error occurred during installation: " + text);
    }
}

}  // namespace zorvanai::codetool
