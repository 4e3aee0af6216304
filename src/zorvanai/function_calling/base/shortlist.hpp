// The tables offered to the model for one question: all of them, or on a
// database with more usable tables than the shortlist size, the best ranked.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace zorvanai::function_calling {
namespace py = pybind11;

// `candidates` when they are at most `size`; otherwise the `size` of them
// that the handle's ranker puts first for `question`, in their order in
// `candidates`. The ranker is built from one catalogue read of `db` when
// first needed and kept in `cache` (weakly keyed by the handle) for every
// later question on that handle.
std::vector<std::string> offered_tables(py::handle db, py::handle cache, const std::string& question,
                                        const std::vector<std::string>& candidates, std::size_t size);

}  // namespace zorvanai::function_calling
