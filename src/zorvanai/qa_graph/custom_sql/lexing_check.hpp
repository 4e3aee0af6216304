// The first step of the query check: the text is split into tokens with
// sqlglot, and the text between the tokens is read again by the server's own
// rules for blanks and comments. A text that the server would read
// differently from the parser (a comment the server executes, a comment that
// ends elsewhere) is refused, so that the parser's view is the server's.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <variant>

#include "guard_rules.hpp"
#include "refusal.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct Statement {
    py::str text;     // from its first token to its last (no semicolon, no trailing comment)
    py::list tokens;  // sqlglot tokens of that statement
    long offset = 0;  // where `text` starts in the whole text (characters)
};

// Exactly one statement, or why not.
std::variant<Statement, Refusal> single_statement(const py::str& sql, GuardDialect dialect);

// "a DELETE statement" for tokens that do not start a query; none for a query.
std::optional<Refusal> statement_kind(const py::list& tokens);

// The reason sqlglot gave for not reading a text, with its line and column.
std::string parse_problem(py::error_already_set& error);

// A refusal for text that sqlglot could not read.
Refusal unreadable(GuardDialect dialect, const std::string& problem);

}  // namespace zorvanai::custom_sql
