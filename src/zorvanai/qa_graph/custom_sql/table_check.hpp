// The second half of the query check, against the catalogue: every table
// the query reads must be one of the handle's usable tables (its schema,
// narrowed by include_tables / ignore_tables; views with view support), and
// on PostgreSQL no name may mean something else than it seems (a system
// catalog found before the schema, a built-in function redefined in it).
#pragma once

#include <string>

#include "handle_config.hpp"
#include "read_only_session.hpp"
#include "sql_guard.hpp"

namespace zorvanai::custom_sql {

// Raises ReadOnlyQueryError when the query reads a table the handle does
// not offer; `given` is the text as the caller gave it.
void check_tables(ReadOnlySession& session, const HandleConfig& config, const CheckedQuery& query,
                  const std::string& given);

}  // namespace zorvanai::custom_sql
