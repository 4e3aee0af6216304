// The shape of tables (columns, keys, indexes) as read from the server's
// catalogue, or from tables the caller defined in the handle's MetaData.
#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "handle_config.hpp"
#include "read_only_session.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct ColumnShape {
    py::object name;
    std::string type;
    bool nullable = true;
    py::object comment;  // None when there is none
};

struct KeyShape {
    py::object name;  // None for an unnamed constraint
    py::list columns;
    py::object referred_schema;  // None: the table's own schema
    py::object referred_table;
    py::list referred_columns;
};

struct TableShape {
    std::vector<ColumnShape> columns;
    std::optional<KeyShape> primary_key;
    std::vector<KeyShape> foreign_keys;
    py::object indexes = py::none();  // list of index dicts, when asked for
};

using Shapes = std::map<std::string, TableShape>;

// Columns, primary and foreign keys of the named tables from PostgreSQL's
// catalogue: two queries, whatever the number of tables.
Shapes read_postgres_shapes(ReadOnlySession& session, const HandleConfig& config,
                            const std::vector<std::string>& names);

// The same through SQLAlchemy's inspector (MySQL reads one SHOW CREATE
// TABLE per named table), for every server but PostgreSQL.
Shapes read_inspector_shapes(ReadOnlySession& session, const HandleConfig& config,
                             const std::vector<std::string>& names);

void read_indexes(ReadOnlySession& session, const HandleConfig& config, Shapes& shapes);

// The shape of a sqlalchemy Table the caller defined (metadata=).
TableShape metadata_shape(const HandleConfig& config, const py::object& table);

}  // namespace zorvanai::custom_sql
