// The query check, by allowlist: a text is run only when sqlglot reads it,
// in the server's dialect, as exactly one query built from the expression
// kinds, functions and types of guard_rules, whose tables are named without
// a qualifier or with the handle's own schema. Which of those tables the
// handle may use is decided against the catalogue (table_check), in the
// session that then runs the query.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "guard_rules.hpp"
#include "refusal.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct GuardContext {
    GuardDialect dialect = GuardDialect::Postgres;
    // The schema (MySQL: database) a qualified table name may name.
    std::string schema;
};

struct TableReference {
    std::string name;  // as the server reads it (quoting resolved, unquoted names folded where the server folds)
    bool qualified = false;
};

struct CheckedQuery {
    std::optional<Refusal> refusal;
    std::string statement;               // from the first token to the last: the text that is run
    std::vector<TableReference> tables;  // tables the query reads (not its WITH names or derived tables)
    std::vector<std::string> functions;  // functions it calls, by name
    bool has_limit = false;              // the outermost query has LIMIT / FETCH
    bool has_order = false;              // the outermost query has ORDER BY
};

CheckedQuery check_query(const std::string& sql, const GuardContext& context);

// The sqlglot dialect that reads queries for a server ("postgres", ...).
GuardDialect guard_dialect_for(const std::string& sqlglot_dialect);

}  // namespace zorvanai::custom_sql
