#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::function_calling {

// Adds the `TableRanker` class to the module.
void register_ranker(pybind11::module_& m);

}  // namespace zorvanai::function_calling
