// The lines the package prints, and the switch that sends them to the
// package's logger instead.
//
// By default every line the package has always printed goes to standard output (and the
// nodes' info lines go to loguru), exactly as callers have always seen them.
// With the switch on (ZORVAN_QUIET=1, or a QuietScope such as the one
// run_agent opens for an agent made with quiet=True) they go to the standard
// logging logger "zorvanai" at DEBUG instead, so that an application decides
// what reaches its console.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace zorvan {
namespace py = pybind11;

inline constexpr const char* kQuietVariable = "ZORVAN_QUIET";
inline constexpr const char* kPackageLogger = "zorvanai";

// An on/off environment variable: 1/true/yes/on or 0/false/no/off (any
// case); unset or empty gives `fallback`. Any other value raises ValueError
// naming the variable.
bool env_flag(const char* variable, bool fallback = false);

// True when the package's lines go to its logger: the innermost QuietScope of
// this context decides, else ZORVAN_QUIET.
bool quiet();

// print(text), or the package logger at DEBUG when quiet. `print` is the
// print function to use (a module may have its own).
void say(py::handle text);
void say_with(py::handle print, py::handle text);

// An info line of the nodes: `loguru_logger.info(text)`, or the package
// logger at DEBUG when quiet.
void log_info(py::handle loguru_logger, const std::string& text);

// A warning: loguru's logger, or the package logger at WARNING when quiet.
void log_warning(const std::string& text);

// The traceback of `error`: to standard error, or to the package logger at
// DEBUG when quiet.
void report_traceback(const py::error_already_set& error);

// logging.getLogger("zorvanai").
py::object package_logger();

// While alive, the package's lines of this context (and of the threads and
// graph nodes that inherit it) follow `on`; an empty value leaves the
// decision to ZORVAN_QUIET.
class QuietScope {
public:
    explicit QuietScope(std::optional<bool> on);
    ~QuietScope();
    QuietScope(const QuietScope&) = delete;
    QuietScope& operator=(const QuietScope&) = delete;

private:
    py::object token_;
};

}  // namespace zorvan
