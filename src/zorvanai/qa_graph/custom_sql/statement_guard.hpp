// The first read-only layer: a statement text is accepted only when sqlglot
// reads it as exactly one query that cannot change data or schema. The
// server's read-only transaction (read_only_session) is the second layer,
// for what no parser can see (functions with side effects).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct GuardVerdict {
    bool allowed = false;
    // When allowed: the statement as checked, from its first to its last
    // token (no trailing semicolon or comment), which is what gets run.
    std::string statement;
    // When refused: what was refused, as a noun phrase ("a DELETE statement").
    std::string refused;
};

// `dialect` is a sqlglot dialect name ("" for generic SQL); `mysql_family`
// also refuses MySQL's executable comments (/*! ... */), which the server
// runs but a parser reads as comments.
GuardVerdict check_statement(const std::string& sql, const std::string& dialect, bool mysql_family);

// The error text for a refusal.
std::string refusal_message(const std::string& refused);

// Raises ReadOnlyQueryError (a SQLAlchemyError) for a refused statement.
[[noreturn]] void raise_refusal(const GuardVerdict& verdict, const std::string& sql);

}  // namespace zorvanai::custom_sql
