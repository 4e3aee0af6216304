#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(dbtool, m) {
    m.doc() = "Filled in by a later change.";
}
