// Least privilege: when a handle is made, the rights of its login are read
// from the server, and each right beyond reading the handle's tables is
// named as a risk. The risks are logged as a warning, or, in strict mode
// (ZORVAN_DB_STRICT=1 or strict=True), the handle is refused.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "handle_config.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

// Read on `connection` (a SQLAlchemy Connection). SQLite files opened
// read-only and servers that are not known give none.
std::vector<std::string> privilege_risks(const py::object& connection, ServerKind kind, const std::string& schema);

// strict: True/False, or None to take ZORVAN_DB_STRICT ("1" means strict).
bool strict_mode(const py::object& strict);

// Logs the risks as one warning on the "zorvanai.qa_graph.custom_sql"
// logger, or raises PrivilegedLoginError when strict.
void enforce_least_privilege(const std::vector<std::string>& risks, bool strict, const std::string& login);

}  // namespace zorvanai::custom_sql
