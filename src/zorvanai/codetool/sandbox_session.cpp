#include "sandbox_session.hpp"

#include <cstdlib>
#include <memory>
#include <optional>

#include "zorvan/capture.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/sandbox.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::codetool {

namespace {

namespace sandbox = zorvan::sandbox;

constexpr double kDefaultTimeoutSeconds = 120.0;

std::optional<double> time_limit() {
    const char* raw = std::getenv(sandbox::kTimeoutVariable);
    if (raw == nullptr || *raw == '\0') return kDefaultTimeoutSeconds;
    char* end = nullptr;
    const double seconds = std::strtod(raw, &end);
    if (end == raw || *end != '\0' || !(seconds > 0)) {
        throw py::value_error(std::string(sandbox::kTimeoutVariable) + " must be a positive number of seconds, not '" +
                              raw + "'");
    }
    return seconds;
}

// One Sandbox object's state: a session in the worker, or (with
// ZORVAN_SANDBOX=off) a namespace in this process.
struct SandboxState {
    std::unique_ptr<sandbox::Session> session;
    std::optional<py::dict> in_process;
    bool closed = false;
};

sandbox::Outcome run_in_process(py::dict& namespace_, const py::object& code) {
    sandbox::Outcome outcome;
    try {
        py::module_ builtins = zorvan::imported_module(zorvan::dep::builtins_module);
        py::object tree = zorvan::imported(zorvan::dep::ast_parse)(code, py::arg("mode") = "exec");
        zorvan::OutputCapture capture;
        builtins.attr("exec")(builtins.attr("compile")(tree, "<ast>", "exec"), namespace_, namespace_);
        outcome.output = capture.finish();
        outcome.success = true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        outcome.error_text = zorvan::exception_text(error.value());
    }
    return outcome;
}

}  // namespace

py::object make_sandbox_class(py::module_& m, const py::object& script_error) {
    py::class_<SandboxState>(m, "_SandboxState");
    zorvan::ClassBuilder builder("Sandbox", py::str(m.attr("__name__")),
                                 py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    builder
        .doc(
            R"doc(A sandboxed session for model-written code.

Code runs in a worker process isolated from the application (no network, no files
but the interpreter's and save_path, no secrets) under the ZORVAN_SCRIPT_* limits;
definitions carry over between runs, as in a notebook. A run that is stopped (time
limit, exit, a broken limit) ends the worker process: the next run starts afresh.

    with Sandbox() as box:
        box.run("x = 6")
        print(box.run("print(x * 7)"))   # 42)doc")
        .method(
            "__init__", "(self, save_path=None)",
            R"(Prepare a session; its worker process starts at the first run.

Args:
    save_path: a directory the code may write to (created when missing); None: only a
        private temporary directory.

Raises:
    ValueError: ZORVAN_SANDBOX or a ZORVAN_SCRIPT_* setting has a bad value.)",
            [](py::object self, py::object save_path) {
                SandboxState state;
                const sandbox::Mode mode = sandbox::mode_from_environment();
                if (mode == sandbox::Mode::off) {
                    sandbox::warn_in_process();
                    state.in_process = py::dict();
                    (*state.in_process)["datetime"] = zorvan::imported_module(zorvan::dep::datetime_module);
                } else {
                    std::optional<std::string> path;
                    if (!save_path.is_none())
                        path = std::string(py::str(zorvan::imported(zorvan::dep::os_fspath)(save_path)));
                    state.session =
                        std::make_unique<sandbox::Session>(path, sandbox::Limits::from_environment(time_limit()), mode);
                }
                self.attr("_state") = py::cast(std::move(state));
            },
            py::arg("self"), py::arg("save_path") = py::none())
        .method(
            "run", "(self, code)",
            R"(Run Python source in the session and return what it printed.

Args:
    code: Python source text.

Returns:
    What the code wrote to standard output ("" when nothing).

Raises:
    ScriptError: the code failed or broke a limit; the message says how.
    RuntimeError: the sandbox was closed.)",
            [script_error](py::object self, py::object code) -> py::object {
                SandboxState& state = self.attr("_state").cast<SandboxState&>();
                if (state.closed) throw std::runtime_error("this Sandbox is closed");
                const std::string source = py::str(code);
                const sandbox::Outcome outcome =
                    state.in_process ? run_in_process(*state.in_process, code) : state.session->run(source);
                if (!outcome.success) zorvan::raise_error(script_error, outcome.error_text);
                return zorvan::utf8_text(outcome.output);
            },
            py::arg("self"), py::arg("code"))
        .method(
            "close", "(self)", "End the session's worker process and everything it started.",
            [](py::object self) {
                SandboxState& state = self.attr("_state").cast<SandboxState&>();
                if (state.session) state.session->close();
                state.closed = true;
            },
            py::arg("self"))
        .method(
            "__enter__", "(self)", "Return the sandbox itself.", [](py::object self) { return self; }, py::arg("self"))
        .method(
            "__exit__", "(self, *exc_info)", "Close the sandbox.",
            [](py::object self, py::args) {
                self.attr("close")();
                return false;
            },
            py::arg("self"));
    return builder.build();
}

}  // namespace zorvanai::codetool
