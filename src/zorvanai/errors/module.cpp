#include <pybind11/pybind11.h>

#include "zorvan/errors.hpp"

namespace py = pybind11;

PYBIND11_MODULE(errors, m) {
    m.doc() =
        "The package's own exceptions, in one tree below ZorvanError.\n\n"
        "ConfigurationError, DatabaseError (ReadOnlyQueryError, PrivilegedLoginError),\n"
        "ModelServiceError, VendorServiceError, ScriptError and InstallationError. The\n"
        "modules that raise one offer it under their own name too; both names are the same\n"
        "class.";
    for (zorvan::ErrorKind kind : zorvan::kAllErrorKinds) {
        m.attr(zorvan::error_name(kind)) = zorvan::error_class(kind);
    }
}
