// Small conversions and checks that several modules share.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvan {
namespace py = pybind11;

// `module.name`, imported at the call.
py::object import_attr(const char* module, const char* name);

// Imports langchain_community once with its own "is being sunset"
// DeprecationWarning (raised by the package itself at its first import)
// filtered out, and nothing else; later imports of its modules warn no more.
void import_langchain_community();

// The Python type name of `value`, for error messages.
std::string type_name(py::handle value);

// "TypeName: message" of an exception object, the text a failed script
// reports (str() failing is reported as such).
std::string exception_text(const py::handle& exception);

// Raises TypeError("<argument> must be a mapping, not <type>") unless
// `value` is a mapping (dict or collections.abc.Mapping).
void require_mapping(py::handle value, const char* argument);

// Python's repr() of a float: the shortest text that reads back the same.
std::string float_repr(double value);

// `bytes` read as UTF-8; invalid sequences (output cut mid-character, raw
// bytes a C extension printed) become U+FFFD.
py::str utf8_text(const std::string& bytes);

// Seconds since the epoch, as Python's time.time() gives them.
double wall_time();

// Raises the Python exception class `type` with `message` (for exception
// classes that are themselves Python objects, such as SQLAlchemyError).
[[noreturn]] void raise_error(py::handle type, const std::string& message);

// A new exception class `name` deriving from `base`, for `module_name`.
py::object make_exception_class(const std::string& name, const std::string& module_name, py::handle base,
                                const std::string& doc);

}  // namespace zorvan

namespace zorvan {

// A context variable registered as an inheritable LangChain configure hook:
// a callback handler it holds is attached to every run started in its
// context, and to the runs they start (LangChain's own usage meter works so).
py::object make_configure_hook(const char* name);

// While alive, `variable` (from make_configure_hook) holds `handler` in this
// context.
class HookScope {
public:
    HookScope(py::object variable, py::object handler);
    ~HookScope();
    HookScope(const HookScope&) = delete;
    HookScope& operator=(const HookScope&) = delete;

private:
    py::object variable_;
    py::object token_;
};

}  // namespace zorvan
