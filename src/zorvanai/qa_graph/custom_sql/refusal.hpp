// Refused queries: what was refused and what the model should do instead.
// A refusal is raised as ReadOnlyQueryError (a SQLAlchemyError), so that the
// graph's correction loop shows its text to the model.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct Refusal {
    std::string refused;  // a noun phrase: "a call to pg_sleep()"
    std::string advice;   // what to change, as a sentence
};

// Advice texts shared by several refusals.
namespace advice {
inline constexpr const char* one_query =
    "Send exactly one query that only reads data: SELECT, WITH ... SELECT, VALUES, or SELECTs joined by UNION, "
    "INTERSECT or EXCEPT.";
inline constexpr const char* plain_select = "Rewrite it as one plain SELECT over the database's tables.";
}  // namespace advice

// "This query was not run: <refused>. <advice>"
std::string refusal_message(const Refusal& refusal);

// Raises ReadOnlyQueryError with `refused` and `statement` (the text as given).
[[noreturn]] void raise_refusal(const Refusal& refusal, const std::string& statement);

// "a, b, c" for at most `limit` names, then ", ... (N in all)".
std::string name_list(const std::vector<std::string>& names, std::size_t limit = 40);

}  // namespace zorvanai::custom_sql
