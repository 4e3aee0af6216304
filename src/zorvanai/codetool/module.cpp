#include <pybind11/pybind11.h>

#include <string>

#include "environment.hpp"
#include "execution.hpp"
#include "installer.hpp"
#include "namespace.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace ct = zorvanai::codetool;

PYBIND11_MODULE(codetool, m) {
    m.doc() =
        "Code execution tool: a virtual environment for analysis code, package installation into it, and\n"
        "execution of Python source in this module's own namespace with its printed output captured.\n\n"
        "One installer run may last ZORVAN_INSTALL_TIMEOUT seconds (default 900); a run that takes longer\n"
        "is stopped and counts as failed.";
    const std::string name = py::str(m.attr("__name__"));
    const ct::ModuleNamespace ns(m.attr("__dict__"));

    for (const char* standard : {"ast", "os", "subprocess", "sys", "tempfile", "venv"}) {
        m.attr(standard) = py::module_::import(standard);
    }
    m.attr("StringIO") = py::module_::import("io").attr("StringIO");
    m.attr("env_path") = py::none();
    m.attr("media_path") = py::none();
    m.attr("python_executable") = py::none();

    const py::object error_class = ct::make_installation_error_class(name);

    zorvan::def(
        m, "initialize_environment", "(env_path_param)",
        "Set env_path to the given directory and prepare the environment there.",
        [ns](py::object env_path_param) { ct::initialize_environment(ns, env_path_param); }, py::arg("env_path_param"));
    zorvan::def(m, "ensure_virtual_environment", "()",
                "Create the virtual environment at env_path unless that path exists, point python_executable at\n"
                "its bin/python, and install the default packages into a newly created environment.",
                [ns]() { ct::ensure_virtual_environment(ns); });
    zorvan::def(m, "install_defaults", "()",
                "Install matplotlib, scikit-learn, numpy, statsmodels, pandas and scipy, in this order.",
                [ns]() { ct::install_defaults(ns); });
    zorvan::def(
        m, "safe_install_modules", "(module_names)",
        "Install the packages and print \"Installation successful.\", or print \"An error occurred during\n"
        "installation: \" followed by the error's text.",
        [ns](py::object module_names) { ct::safe_install_modules(ns, module_names); }, py::arg("module_names"));
    zorvan::def(
        m, "install_dependencies", "(dependencies)",
        "Run the package installer of python_executable once per package, in order. Raises\n"
        "InstallationError naming every failed run after all have been tried.",
        [ns, error_class](py::object dependencies) { ct::install_dependencies(ns, error_class, dependencies); },
        py::arg("dependencies"));
    zorvan::def(
        m, "execute_code", "(code)",
        "Run Python source with this module's namespace as globals and return what it printed.",
        [ns](py::object code) { return ct::execute_code(ns, code); }, py::arg("code"));

    m.attr("InstallationError") = error_class;
}
