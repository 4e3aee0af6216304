// Table names between the state, the model and the database.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace zorvanai::function_calling {
namespace py = pybind11;

// The tables offered to the model, from the state's `table_names_from_db`:
// the text "a, b, c" or a list whose items are names (or mappings holding
// "table_name" or "name"). Blank entries are dropped. This is the one place
// where the offered list is made.
std::vector<std::string> candidate_tables(py::handle table_names_from_db);

// The names as the prompt shows them: "a, b, c".
std::string join_names(const std::vector<std::string>& names);

// The ways a name written by the model may denote a table, most literal
// first: the text itself (trimmed), then without quoting ("Orders",
// `Orders`, [Orders], 'Orders'), then the last part of a schema-qualified
// name (public.orders, "sales"."Orders").
std::vector<std::string> name_readings(const std::string& written);

// The picked names in the database's own spelling, in the order picked and
// without duplicates. For each picked name the first reading that names a
// usable table wins, an exact match before a case-insensitive one (when
// several usable tables differ only in case, all of them). Names that
// match no usable table are dropped.
std::vector<std::string> match_usable_tables(const std::vector<std::string>& picked,
                                             const std::vector<std::string>& usable);

}  // namespace zorvanai::function_calling
