#include <pybind11/pybind11.h>

#include <string>

#include "environment.hpp"
#include "execution.hpp"
#include "installer.hpp"
#include "namespace.hpp"
#include "sandbox_session.hpp"
#include "zorvan/errors.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/sandbox.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace ct = zorvanai::codetool;

PYBIND11_MODULE(codetool, m) {
    m.doc() =
        R"doc(Code execution tool: a virtual environment, package installation and captured script runs.

The environment is kept for analysis code; packages are installed into it, and Python
source runs in this module's own namespace with its printed output captured.

    from zorvanai import codetool
    codetool.initialize_environment("analysis-env")   # created and filled once
    print(codetool.execute_code("print(6 * 7)"))     # 42

One installer run may last ZORVAN_INSTALL_TIMEOUT seconds (default 900); a run that takes longer
is stopped and counts as failed.)doc";
    const std::string name = py::str(m.attr("__name__"));
    const ct::ModuleNamespace ns(m.attr("__dict__"));

    for (const char* standard : {"ast", "os", "subprocess", "sys", "tempfile", "venv"}) {
        m.attr(standard) = py::module_::import(standard);
    }
    m.attr("StringIO") = zorvan::imported(zorvan::dep::io_StringIO);
    m.attr("env_path") = py::none();
    m.attr("media_path") = py::none();
    m.attr("python_executable") = py::none();

    const py::object error_class = zorvan::error_class(zorvan::ErrorKind::Installation);

    zorvan::def(
        m, "initialize_environment", "(env_path_param)",
        R"(Use a virtual environment at the given directory, creating it when missing.

Sets the module's env_path, then calls ensure_virtual_environment().

Args:
    env_path_param: directory of the virtual environment.

Raises:
    OSError: the environment cannot be created there.)",
        [ns](py::object env_path_param) { ct::initialize_environment(ns, env_path_param); }, py::arg("env_path_param"));
    zorvan::def(m, "ensure_virtual_environment", "()",
                R"(Create the virtual environment at env_path unless that path exists.

Points python_executable at its bin/python and installs the default packages
into a newly created environment; an existing path is used as it is.

Raises:
    TypeError: env_path is None (initialize_environment was not called).
    OSError: the environment cannot be created.)",
                [ns]() { ct::ensure_virtual_environment(ns); });
    zorvan::def(m, "install_defaults", "()",
                R"(Install matplotlib, scikit-learn, numpy, statsmodels, pandas and scipy, in this order.

Goes through safe_install_modules, so failures are printed, not raised.)",
                [ns]() { ct::install_defaults(ns); });
    zorvan::def(
        m, "safe_install_modules", "(module_names)",
        R"(Install packages into the environment and print how it went.

Prints "Installation successful.", or "An error occurred during installation: "
followed by the error's text; ordinary errors are never raised.

Args:
    module_names: package names (pip requirement texts), installed in order.)",
        [ns](py::object module_names) { ct::safe_install_modules(ns, module_names); }, py::arg("module_names"));
    zorvan::def(
        m, "install_dependencies", "(dependencies)",
        R"(Run the package installer of python_executable once per package, in order.

Each run is ``python -m pip install <name>`` with the host's console; a run longer
than ZORVAN_INSTALL_TIMEOUT seconds (default 900) is stopped. Every package is
tried before failures are reported.

Args:
    dependencies: package names (any iterable of texts).

Raises:
    InstallationError: one or more runs failed; its ``failures`` lists them.
    ValueError: ZORVAN_INSTALL_TIMEOUT is not a positive number.)",
        [ns, error_class](py::object dependencies) { ct::install_dependencies(ns, error_class, dependencies); },
        py::arg("dependencies"));
    zorvan::def(
        m, "execute_code", "(code)",
        R"(Run Python source in this module's namespace and return what it printed.

Standard output of the calling thread is captured while the code runs; names the
code defines stay in the module's namespace for later runs.

Args:
    code: Python source text.

Returns:
    The text the code wrote to standard output ("" when nothing).

Raises:
    SyntaxError: the source does not parse (nothing has run).
    Exception: whatever the code raises reaches the caller unchanged.)",
        [ns](py::object code) { return ct::execute_code(ns, code); }, py::arg("code"));

    m.attr("InstallationError") = error_class;

    const py::object script_error = zorvan::error_class(zorvan::ErrorKind::Script);
    m.attr("ScriptError") = script_error;
    m.attr("Sandbox") = ct::make_sandbox_class(m, script_error);
    // The entry point of the sandbox's worker interpreter (not for callers).
    m.def("_sandbox_worker", [](int control_fd, const std::string& private_dir) {
        zorvan::sandbox::serve_worker(control_fd, private_dir);
    });
}
