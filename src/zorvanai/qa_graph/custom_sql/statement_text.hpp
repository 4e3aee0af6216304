// The texts of one query: what the caller gave, what the check reads, and
// what is sent with which bound values. A SQLAlchemy statement (or a text
// with parameters) is compiled twice from the same bound statement: with
// named placeholders for the check, with the driver's placeholders to run.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "handle_config.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct QueryText {
    std::string given;     // the caller's text, or the statement compiled for the dialect
    std::string checked;   // what the query check reads
    py::object statement;  // the bound SQLAlchemy statement; None for a text without parameters
    py::dict options;      // execution options to run it with
};

// ValueError for an execution option that would leave the read-only
// transaction (isolation_level, ...); TypeError for a command of another type.
QueryText query_text(const HandleConfig& config, const py::object& command, const py::object& parameters,
                     const py::object& execution_options);

struct DriverText {
    std::string sql;        // one statement, without a trailing semicolon
    py::object parameters;  // dict or list for the driver; None when there are none
};

// The text for the handle's own driver (`paramstyle` empty) or for the
// driver's connection with another placeholder style ("qmark"). `checked` is
// the checked statement, used when there are no parameters.
DriverText driver_text(const HandleConfig& config, const QueryText& text, const std::string& checked,
                       const std::string& paramstyle = "");

}  // namespace zorvanai::custom_sql
