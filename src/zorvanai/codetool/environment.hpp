// The virtual environment for analysis code and the guarded installation of
// packages into it.
#pragma once

#include <pybind11/pybind11.h>

#include "namespace.hpp"

namespace zorvanai::codetool {

// Sets env_path, then calls ensure_virtual_environment().
void initialize_environment(const ModuleNamespace& ns, const py::object& env_path_param);

// Creates the environment at env_path unless something exists there, sets
// python_executable to env_path/bin/python, and installs the default
// packages into a newly created environment.
void ensure_virtual_environment(const ModuleNamespace& ns);

// safe_install_modules() on the default package list.
void install_defaults(const ModuleNamespace& ns);

// install_dependencies() and a line saying how it went; ordinary errors are
// reported on standard output, never raised.
void safe_install_modules(const ModuleNamespace& ns, const py::object& module_names);

}  // namespace zorvanai::codetool
