#include "execution.hpp"

#include "zorvan/capture.hpp"
#include "zorvan/python_names.hpp"

namespace zorvanai::codetool {

std::string execute_code(const ModuleNamespace& ns, const py::object& code) {
    // A syntax error surfaces here, before anything is redirected.
    py::object tree = ns.lookup("ast").attr("parse")(code, py::arg("mode") = "exec");
    zorvan::OutputCapture capture;
    // The real built-ins, so that code defining its own `exec` or `compile`
    // does not break later runs.
    py::module_ builtins = zorvan::imported_module(zorvan::dep::builtins_module);
    py::object compiled = builtins.attr("compile")(tree, py::arg("filename") = "<ast>", py::arg("mode") = "exec");
    builtins.attr("exec")(compiled, ns.globals(), ns.globals());
    return capture.finish();
}

}  // namespace zorvanai::codetool
