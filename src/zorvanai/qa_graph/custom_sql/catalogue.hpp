// Which tables a handle offers and how they are described to the model.
// Nothing is cached: each call reads the server's catalogue afresh, and only
// for what was asked. Every read runs in the caller's read-only session.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "handle_config.hpp"
#include "read_only_session.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

// The tables (and views, with view support) of the handle's schema: the
// given schema, else the connection's default one. One catalogue query.
std::vector<std::string> list_tables(ReadOnlySession& session, const HandleConfig& config);

// Those of `names` that are tables (or views, with view support) of the
// handle's schema: one catalogue query filtered by the names.
std::vector<std::string> find_tables(ReadOnlySession& session, const HandleConfig& config,
                                     const std::vector<std::string>& names);

// `tables` narrowed by include_tables / ignore_tables, sorted.
std::vector<std::string> usable_tables(const HandleConfig& config, std::vector<std::string> tables);

// CREATE TABLE text with types, primary and foreign keys, then sample rows
// (and indexes when asked), for each of `names`, sorted like the stock
// handle. Reads those tables only.
std::string describe_tables(ReadOnlySession& session, const HandleConfig& config, const std::vector<std::string>& names,
                            bool column_comments);

}  // namespace zorvanai::custom_sql
