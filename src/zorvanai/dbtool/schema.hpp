// Listing the tables of the configured database with each column's name
// and server type.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "config.hpp"

namespace zorvanai::dbtool {
namespace py = pybind11;

// {table: [{"name": ..., "type": ...}, ...]} in the server's order, or None
// when no connection could be opened. After an error the mapping holds what
// was read before it, and one line has been printed.
py::object get_mysql_database_schema(const Settings& settings);

// The same for the tables of the schema "public" of a PostgreSQL database.
py::object get_pgdb_schema(const Settings& settings);

// `name` as a MySQL identifier: in backticks, a backtick inside doubled.
std::string mysql_identifier(const std::string& name);

// `name` between `quote` characters, a `quote` inside doubled.
std::string quoted_identifier(const std::string& name, char quote);

}  // namespace zorvanai::dbtool
