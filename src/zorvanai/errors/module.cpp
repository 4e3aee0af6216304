#include <pybind11/pybind11.h>

#include "zorvan/errors.hpp"

namespace py = pybind11;

PYBIND11_MODULE(errors, m) {
    m.doc() =
        R"(The package's own exceptions, in one tree below ZorvanError.

ConfigurationError, DatabaseError (ReadOnlyQueryError, PrivilegedLoginError),
ModelServiceError, VendorServiceError, ScriptError and InstallationError. The
modules that raise one offer it under their own name too; both names are the same
class.)";
    for (zorvan::ErrorKind kind : zorvan::kAllErrorKinds) {
        m.attr(zorvan::error_name(kind)) = zorvan::error_class(kind);
    }
}
