// What a query may contain, per SQL dialect: the expression kinds of a
// read, the functions that only compute a value, the types a value may be
// cast to. Everything else is refused.
#pragma once

#include <string>

namespace zorvanai::custom_sql {

enum class GuardDialect { Postgres, MySQL, TSQL, SQLite };

// sqlglot's name of the dialect ("postgres", "mysql", "tsql", "sqlite").
const char* sqlglot_name(GuardDialect dialect);

// `name` (as the server reads it: lower case, quoting resolved) is a
// built-in function without side effects in this dialect.
bool function_allowed(GuardDialect dialect, const std::string& name);

// The same for functions that stand in FROM as a row source.
bool table_function_allowed(GuardDialect dialect, const std::string& name);

// sqlglot expression classes a read consists of (clauses, operators,
// literals, names), apart from functions, tables, columns and types.
bool structure_allowed(const std::string& expression_class);

// sqlglot function classes that come from SQL syntax rather than a written
// function name (CAST, CASE, EXTRACT, operators, ...), so that they carry no
// name to check.
bool syntax_function_allowed(const std::string& function_class);

// sqlglot data type names (DataType.Type) a value may be cast to.
bool type_allowed(const std::string& type_name);

// The kinds of function the model may call, for refusal messages.
const char* allowed_function_kinds();

}  // namespace zorvanai::custom_sql
