// The script process's Python side: the interpreter's last preparations
// and the run of one source text, with the failure's text built from the
// real exception.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "sandbox_run.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvan::sandbox {

namespace {

bool has_errno(const py::handle& exception, int number) {
    if (!py::isinstance(exception, py::handle(PyExc_OSError))) return false;
    py::object value = exception.attr("errno");
    return py::isinstance<py::int_>(value) && value.cast<int>() == number;
}

// The failure's text; a broken limit is named with the setting that changes it.
std::string failure_text(const py::handle& exception, const RunSettings& s) {
    if (py::isinstance(exception, py::handle(PyExc_MemoryError))) {
        return "MemoryError: the script went over its memory limit of " + std::to_string(s.memory_mib) + " MiB (" +
               kMemoryVariable + ")";
    }
    if (py::isinstance(exception, py::handle(PyExc_SystemExit))) {
        py::object code = exception.attr("code");
        const std::string status = code.is_none() ? "0" : std::string(py::str(code));
        return "SystemExit: the script asked to end its process (exit status " + status +
               "); only the script's own process ended";
    }
    if (has_errno(exception, EFBIG)) {
        return "OSError: the script went over its file size limit of " + std::to_string(s.file_mib) + " MiB (" +
               kFileVariable + ")";
    }
    const bool thread_refused = py::isinstance(exception, py::handle(PyExc_RuntimeError)) &&
                                std::string(py::str(exception)) == "can't start new thread";
    if (has_errno(exception, EAGAIN) || thread_refused) {
        return "RuntimeError: the script went over its limit of " + std::to_string(s.processes) +
               " processes and threads (" + kProcessesVariable + ")";
    }
    return exception_text(exception);
}

}  // namespace

std::optional<std::string> execute_source(const std::string& source, py::dict& namespace_,
                                          const RunSettings& settings) {
    try {
        py::module_ builtins = zorvan::imported_module(zorvan::dep::builtins_module);
        py::object tree = zorvan::imported(zorvan::dep::ast_parse)(py::str(source), py::arg("mode") = "exec");
        py::object code = builtins.attr("compile")(tree, "<ast>", "exec");
        builtins.attr("exec")(code, namespace_, namespace_);
        return std::nullopt;
    } catch (py::error_already_set& error) {
        return failure_text(error.value(), settings);
    }
}

std::optional<std::string> prepare_interpreter(const RunContext& context) {
    try {
        ::setenv("TMPDIR", context.run_dir.c_str(), 1);
        py::module_ os = zorvan::imported_module(zorvan::dep::os_module);
        os.attr("environ")["TMPDIR"] = context.run_dir;
        zorvan::imported_module(zorvan::dep::tempfile_module).attr("tempdir") = context.run_dir;
        if (context.settings.save_path) {
            os.attr("makedirs")(*context.settings.save_path, py::arg("exist_ok") = true);
        }
        return std::nullopt;
    } catch (py::error_already_set& error) {
        return exception_text(error.value());
    }
}

void flush_output() noexcept {
    try {
        py::module_ sys = zorvan::imported_module(zorvan::dep::sys_module);
        for (const char* name : {"stdout", "stderr", "__stdout__", "__stderr__"}) {
            py::object stream = sys.attr(name);
            if (!stream.is_none() && py::hasattr(stream, "flush")) stream.attr("flush")();
        }
    } catch (py::error_already_set&) {
        // A script that broke its streams loses what was left in them.
    }
    std::fflush(nullptr);
}

}  // namespace zorvan::sandbox
