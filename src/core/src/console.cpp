#include "zorvan/console.hpp"

#include <algorithm>
#include <cctype>

#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvan {

namespace {

constexpr const char* kSharedKey = "zorvanai.quiet_switch.v1";

// One context variable per process, shared by every extension module of the
// package; it lives until the process ends.
py::object& switch_variable() {
    void* shared = py::get_shared_data(kSharedKey);
    if (shared == nullptr) {
        auto* variable =
            new py::object(imported(dep::contextvars_ContextVar)("zorvanai_quiet", py::arg("default") = py::none()));
        shared = py::set_shared_data(kSharedKey, variable);
    }
    return *static_cast<py::object*>(shared);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

bool env_flag(const char* variable, bool fallback) {
    py::object raw = imported(dep::os_environ).attr("get")(variable);
    if (raw.is_none()) return fallback;
    const std::string text = lower(raw.cast<std::string>());
    if (text.empty()) return fallback;
    if (text == "1" || text == "true" || text == "yes" || text == "on") return true;
    if (text == "0" || text == "false" || text == "no" || text == "off") return false;
    throw py::value_error(std::string(variable) + " must be 1 or 0 (or true/false, yes/no, on/off), not '" +
                          raw.cast<std::string>() + "'");
}

bool quiet() {
    py::object chosen = switch_variable().attr("get")();
    if (!chosen.is_none()) return py::bool_(chosen);
    return env_flag(kQuietVariable);
}

py::object package_logger() {
    return imported(dep::logging_getLogger)(kPackageLogger);
}

void say_with(py::handle print, py::handle text) {
    if (quiet()) {
        package_logger().attr("debug")("%s", text);
    } else {
        print(text);
    }
}

void say(py::handle text) {
    say_with(imported(dep::builtins_print), text);
}

void log_info(py::handle loguru_logger, const std::string& text) {
    if (quiet()) {
        package_logger().attr("debug")("%s", text);
    } else {
        loguru_logger.attr("info")(text);
    }
}

void log_warning(const std::string& text) {
    if (quiet()) {
        package_logger().attr("warning")("%s", text);
    } else {
        // Braces in the text are not format fields.
        imported(dep::loguru_logger).attr("warning")("{}", text);
    }
}

void report_traceback(const py::error_already_set& error) {
    py::module_ traceback = imported_module(dep::traceback_module);
    if (quiet()) {
        py::object lines = traceback.attr("format_exception")(error.type(), error.value(), error.trace());
        package_logger().attr("debug")("%s", py::str("").attr("join")(lines).attr("rstrip")());
    } else {
        traceback.attr("print_exception")(error.type(), error.value(), error.trace());
    }
}

QuietScope::QuietScope(std::optional<bool> on) {
    py::object value = on ? py::object(py::bool_(*on)) : py::object(py::none());
    token_ = switch_variable().attr("set")(value);
}

QuietScope::~QuietScope() {
    try {
        switch_variable().attr("reset")(token_);
    } catch (py::error_already_set&) {
        // A token is only refused in another context; the scope never leaves its own.
    }
}

}  // namespace zorvan
