// The package's own exceptions, one tree for every module:
//
//   ZorvanError(Exception)
//   ├── ConfigurationError(ZorvanError, RuntimeError)   something is not set, or set wrongly
//   ├── DatabaseError(ZorvanError)                       the database could not answer
//   │   ├── ReadOnlyQueryError(DatabaseError, sqlalchemy.exc.SQLAlchemyError)   a query refused before it ran
//   │   └── PrivilegedLoginError(DatabaseError, sqlalchemy.exc.SQLAlchemyError) a login that may do more than read
//   ├── ModelServiceError(ZorvanError, openai.OpenAIError)   the chat model failed or answered with no reply
//   ├── VendorServiceError(ZorvanError, RuntimeError)        the vendor service failed
//   ├── ScriptError(ZorvanError)                             a sandboxed script failed
//   └── InstallationError(ZorvanError, RuntimeError)         the code tool's installer failed
//
// Each class is made once per interpreter, on first use, and kept in the
// interpreter store; `zorvanai.errors` lists them all, and the modules that
// raise one also offer it under their own name. The second bases keep the
// contracts callers rely on (a refused query is a SQLAlchemyError, a model
// failure an OpenAIError).
// C++ code raises one with `raise_error(kind, message)`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvan {
namespace py = pybind11;

enum class ErrorKind {
    Package,
    Configuration,
    Database,
    RefusedQuery,
    PrivilegedLogin,
    ModelService,
    VendorService,
    Script,
    Installation,
};

inline constexpr ErrorKind kAllErrorKinds[] = {
    ErrorKind::Package,       ErrorKind::Configuration,   ErrorKind::Database,
    ErrorKind::RefusedQuery,  ErrorKind::PrivilegedLogin, ErrorKind::ModelService,
    ErrorKind::VendorService, ErrorKind::Script,          ErrorKind::Installation,
};

// The Python name of the class of `kind` ("ConfigurationError", ...).
const char* error_name(ErrorKind kind);

// The Python class of `kind`. Requires the GIL.
py::object error_class(ErrorKind kind);

// Raises the Python exception of `kind` with `message`. Requires the GIL.
[[noreturn]] void raise_error(ErrorKind kind, const std::string& message);

// True when `error` is an exception of `kind` (or of a class below it).
bool is_error(const py::error_already_set& error, ErrorKind kind);

}  // namespace zorvan
