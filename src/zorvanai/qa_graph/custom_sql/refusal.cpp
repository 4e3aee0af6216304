#include "refusal.hpp"

#include <vector>

#include "zorvan/errors.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::custom_sql {

std::string refusal_message(const Refusal& refusal) {
    return "This query was not run: " + refusal.refused + ". " + refusal.advice;
}

void raise_refusal(const Refusal& refusal, const std::string& statement) {
    py::object error_class = zorvan::error_class(zorvan::ErrorKind::RefusedQuery);
    py::object error = error_class(refusal_message(refusal));
    error.attr("refused") = refusal.refused;
    error.attr("statement") = statement;
    PyErr_SetObject(error_class.ptr(), error.ptr());
    throw py::error_already_set();
}

std::string name_list(const std::vector<std::string>& names, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < limit; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > limit) text += ", ... (" + std::to_string(names.size()) + " in all)";
    return text;
}

}  // namespace zorvanai::custom_sql
