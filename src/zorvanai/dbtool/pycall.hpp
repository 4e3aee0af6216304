// Printing and error handling in the manner of the Python code that calls
// this module: lines go through the builtin print (so redirections of
// sys.stdout see them) and failures are caught as `except Exception` would.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <utility>

namespace zorvanai::dbtool {
namespace py = pybind11;

// print(text); the package logger instead when the quiet switch is on.
void print_line(const py::handle& text);

// `template.format(values...)`: the text form of each value, as an f-string
// would insert it.
template <typename... Values>
py::str format(const char* text, Values&&... values) {
    return py::str(text).format(std::forward<Values>(values)...);
}

// Runs `body`. An error that `except Exception` would catch is handed to
// `on_error` as the error object (its str() is the error text); anything else
// (KeyboardInterrupt, SystemExit) propagates.
template <typename Body, typename OnError>
auto catch_errors(Body&& body, OnError&& on_error) -> decltype(body()) {
    try {
        return body();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return on_error(error.value());
    } catch (const std::exception& error) {
        return on_error(py::str(error.what()));
    }
}

// Calls `object.close()` and swallows any error: used on paths that are
// already failing or that must not fail.
void close_quietly(const py::handle& object) noexcept;

// Runs `body`, then closes `resource` on every path. On the normal path an
// error raised by close() reaches the caller, as it would from a `with`
// block or a `finally: resource.close()`.
template <typename Body>
auto closing(const py::object& resource, Body&& body) -> decltype(body()) {
    auto result = [&] {
        try {
            return body();
        } catch (...) {
            close_quietly(resource);
            throw;
        }
    }();
    resource.attr("close")();
    return result;
}

}  // namespace zorvanai::dbtool
