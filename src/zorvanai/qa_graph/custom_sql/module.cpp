#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(custom_sql, m) {
    m.doc() = "Filled in by a later change.";
}
