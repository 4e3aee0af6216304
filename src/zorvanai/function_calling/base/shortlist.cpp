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

py::object ranker_of(py::handle db, py::handle cache) {
    py::object found = cache.attr("get")(db);
    if (!found.is_none()) return found;
    py::object view = db.attr("view");
    const double limit = view.attr("statement_timeout").cast<double>();
    TableCatalogue catalogue = read_catalogue(view.attr("engine"), view.attr("schema"),
                                              limit > 0 && std::isfinite(limit) ? limit : kDefaultCatalogueLimit);
    py::object ranker = py::cast(TableRanker(std::move(catalogue.tables), catalogue.links));
    cache.attr("__setitem__")(db, ranker);
    return ranker;
}

}  // namespace

std::vector<std::string> offered_tables(py::handle db, py::handle cache, const std::string& question,
                                        const std::vector<std::string>& candidates, std::size_t size) {
    if (candidates.size() <= size) return candidates;
    py::object ranker = ranker_of(db, cache);
    const TableRanker& index = ranker.cast<const TableRanker&>();
    std::vector<RankedTable> best;
    {
        // Pure C++ over the index, which the handle's cache keeps alive.
        py::gil_scoped_release unlocked;
        best = index.rank(question, size, &candidates);
    }
    std::unordered_set<std::string> chosen;
    for (auto& table : best) chosen.insert(std::move(table.name));
    std::vector<std::string> offered;
    for (const auto& name : candidates)
        if (chosen.erase(name)) offered.push_back(name);
    return offered;
}

}  // namespace zorvanai::function_calling
