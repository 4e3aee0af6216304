// One read of a database's catalogue: every table with its columns, and the
// foreign-key links between tables. Enough to index the tables for ranking.
#pragma once

#include <pybind11/pybind11.h>

#include "ranker.hpp"

namespace zorvanai::function_calling {
namespace py = pybind11;

struct TableCatalogue {
    std::vector<TableColumns> tables;
    std::vector<ForeignKeyLink> links;
};

// Reads the catalogue of `schema` (None: the connection's default schema)
// through a SQLAlchemy engine, on one connection with a time limit on each
// statement. PostgreSQL and MySQL/MariaDB are read with two catalogue
// queries; other dialects through SQLAlchemy's inspector.
TableCatalogue read_catalogue(py::handle engine, py::handle schema, double time_limit_seconds);

}  // namespace zorvanai::function_calling
