#include "shortlist.hpp"

#include <pybind11/stl.h>

#include <cmath>
#include <unordered_set>

#include "ranker.hpp"
#include "table_catalogue.hpp"

namespace zorvanai::function_calling {
namespace {

// Catalogue reads on a handle without a statement time limit still get one.
constexpr double kDefaultCatalogueLimit = 30.0;

double catalogue_limit(py::handle db) {
    py::object limit = py::getattr(db, "statement_timeout", py::none());
    if (limit.is_none() || py::isinstance<py::bool_>(limit)) return kDefaultCatalogueLimit;
    const double seconds = limit.cast<double>();
    return seconds > 0 && std::isfinite(seconds) ? seconds : kDefaultCatalogueLimit;
}

py::object ranker_of(py::handle db, py::handle cache) {
    py::object found = cache.attr("get")(db);
    if (!found.is_none()) return found;
    TableCatalogue catalogue =
        read_catalogue(db.attr("_engine"), py::getattr(db, "_schema", py::none()), catalogue_limit(db));
    py::object ranker = py::cast(TableRanker(std::move(catalogue.tables), catalogue.links));
    cache.attr("__setitem__")(db, ranker);
    return ranker;
}

}  // namespace

std::vector<std::string> offered_tables(py::handle db, py::handle cache, const std::string& question,
                                        const std::vector<std::string>& candidates, std::size_t size) {
    if (candidates.size() <= size) return candidates;
    py::object ranker = ranker_of(db, cache);
    std::vector<RankedTable> best = ranker.cast<const TableRanker&>().rank(question, size, &candidates);
    std::unordered_set<std::string> chosen;
    for (auto& table : best) chosen.insert(std::move(table.name));
    std::vector<std::string> offered;
    for (const auto& name : candidates)
        if (chosen.erase(name)) offered.push_back(name);
    return offered;
}

}  // namespace zorvanai::function_calling
