#include "script_runner.hpp"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "support.hpp"
#include "zorvan/capture.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/sandbox.hpp"

namespace zorvanai::qa_nodes {

namespace {

constexpr double kWaitSliceSeconds = 0.25;

// What the caller and the worker share. Every field is read and written
// with the GIL held, which orders all accesses.
struct ScriptRun {
    bool abandoned = false;      // the caller stopped waiting; the worker must not start or report
    bool in_script = false;      // the worker is inside compile/exec
    bool stop_injected = false;  // the caller sent the stop exception to the worker
    unsigned long thread_id = 0;
    std::optional<zorvan::OutputCapture> capture;
    bool finished = false;
    std::string output;
    std::optional<std::string> error;
    py::object escaped;  // a BaseException outside the Exception family, to raise again
};

// The exception injected into a script that overran its time limit. It
// derives from BaseException so that a script's `except Exception:` does not
// swallow it. Created once and kept for the life of the process.
py::handle stop_exception_type() {
    static PyObject* const type =
        PyErr_NewException("zorvanai.qa_graph.qa_nodes.ScriptStopped", PyExc_BaseException, nullptr);
    if (type == nullptr) throw py::error_already_set();
    return type;
}

void leave_script(ScriptRun& run) {
    run.in_script = false;
    if (!run.stop_injected) return;
    // A stop sent while the script was in a C call may still be pending for
    // this thread. Take it now, in a trivial evaluation, so that it neither
    // hits the worker's own bookkeeping nor stays signalled: the interpreter
    // keeps its "asynchronous exception" signal raised until the target
    // thread consumes the exception (clearing it with SetAsyncExc(id, NULL)
    // leaves the signal set, and with a profiler or tracer active the eval
    // loop then never gets past the next function entry).
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* globals = PyDict_New();
    if (globals != nullptr) {
        PyObject* result = PyRun_String("None", Py_eval_input, globals, globals);
        Py_XDECREF(result);
        Py_DECREF(globals);
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

void execute(ScriptRun& run, const py::object& tree, const py::dict& namespace_, py::handle stop_type) {
    py::module_ builtins = zorvan::imported_module(zorvan::dep::builtins_module);
    py::object compile = builtins.attr("compile");
    py::object exec = builtins.attr("exec");
    run.in_script = true;
    // Raw calls: nothing may run between the script's end and leave_script.
    PyObject* result = nullptr;
    PyObject* code = PyObject_CallFunction(compile.ptr(), "Oss", tree.ptr(), "<ast>", "exec");
    if (code != nullptr) {
        result = PyObject_CallFunctionObjArgs(exec.ptr(), code, namespace_.ptr(), namespace_.ptr(), nullptr);
        Py_DECREF(code);
    }
    leave_script(run);
    if (result != nullptr) {
        Py_DECREF(result);
        return;
    }
    py::error_already_set failure;
    if (failure.matches(stop_type)) return;  // the caller has already reported the overrun
    if (failure.matches(PyExc_Exception)) {
        run.error = zorvan::exception_text(failure.value());
    } else {
        run.escaped = failure.value();
    }
}

void worker(ScriptRun& run, const py::object& tree, const py::dict& namespace_, py::handle stop_type) {
    if (run.abandoned) return;
    try {
        run.thread_id = PyThread_get_thread_ident();
        run.capture.emplace();
        execute(run, tree, namespace_, stop_type);
        std::string printed = run.capture->finish();
        if (!run.abandoned) run.output = std::move(printed);
    } catch (py::error_already_set& failure) {
        run.error = zorvan::exception_text(failure.value());
    } catch (const std::exception& failure) {
        run.error = std::string("RuntimeError: ") + failure.what();
    }
    if (run.capture) run.capture->finish();
    run.finished = true;
}

// Stops waiting for the worker: a running script gets the stop exception,
// and its capture ends now so that standard output is restored at once.
void abandon(ScriptRun& run, py::handle stop_type) {
    if (run.abandoned) return;
    run.abandoned = true;
    if (run.in_script && run.thread_id != 0) {
        run.stop_injected = true;
        PyThreadState_SetAsyncExc(run.thread_id, stop_type.ptr());
    }
    if (run.capture) run.capture->finish();
}

class AbandonGuard {
public:
    AbandonGuard(std::shared_ptr<ScriptRun> run, py::handle stop_type) : run_(std::move(run)), stop_type_(stop_type) {}
    ~AbandonGuard() {
        if (!armed_) return;
        try {
            abandon(*run_, stop_type_);
        } catch (...) {
            // Only reached while another error is already leaving the call.
        }
    }
    AbandonGuard(const AbandonGuard&) = delete;
    AbandonGuard& operator=(const AbandonGuard&) = delete;
    void disarm() { armed_ = false; }

private:
    std::shared_ptr<ScriptRun> run_;
    py::handle stop_type_;
    bool armed_ = true;
};

}  // namespace

ScriptOutcome run_script(const py::object& tree, const py::dict& namespace_, std::optional<double> limit_seconds) {
    py::handle stop_type = stop_exception_type();
    auto run = std::make_shared<ScriptRun>();
    py::object target =
        py::cpp_function([run, tree, namespace_, stop_type]() { worker(*run, tree, namespace_, stop_type); });
    py::object thread = zorvan::imported(zorvan::dep::threading_Thread)(
        py::arg("target") = target, py::arg("name") = "zorvanai-script", py::arg("daemon") = true);
    AbandonGuard guard(run, stop_type);
    thread.attr("start")();

    using clock = std::chrono::steady_clock;
    const auto started = clock::now();
    while (true) {
        double wait = kWaitSliceSeconds;
        if (limit_seconds) {
            const double spent = std::chrono::duration<double>(clock::now() - started).count();
            wait = std::min(wait, std::max(0.0, *limit_seconds - spent));
        }
        // join() waits without the GIL and raises KeyboardInterrupt on Ctrl-C.
        thread.attr("join")(wait);
        if (!truthy(thread.attr("is_alive")())) break;
        if (limit_seconds && std::chrono::duration<double>(clock::now() - started).count() >= *limit_seconds) {
            abandon(*run, stop_type);
            guard.disarm();
            ScriptOutcome outcome;
            outcome.error_text = zorvan::sandbox::timeout_text(*limit_seconds);
            return outcome;
        }
    }
    guard.disarm();
    if (run->escaped) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(run->escaped.ptr())), run->escaped.ptr());
        throw py::error_already_set();
    }
    ScriptOutcome outcome;
    if (!run->finished) {
        outcome.error_text = "RuntimeError: the script ended without a result";
    } else if (run->error) {
        outcome.error_text = *run->error;
    } else {
        outcome.success = true;
        outcome.output = run->output;
    }
    return outcome;
}

}  // namespace zorvanai::qa_nodes
