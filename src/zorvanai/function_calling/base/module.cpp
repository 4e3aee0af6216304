#include <pybind11/pybind11.h>

#include "ranker_binding.hpp"

namespace py = pybind11;

PYBIND11_MODULE(base, m) {
    m.doc() = "Filled in by a later change.";
    zorvanai::function_calling::register_ranker(m);
}
