#include "refusal.hpp"

#include <vector>

#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::custom_sql {

std::string refusal_message(const Refusal& refusal) {
    return "This query was not run: " + refusal.refused + ". " + refusal.advice;
}

py::object make_error_class(const std::string& module_name) {
    zorvan::ClassBuilder builder("ReadOnlyQueryError", module_name,
                                 zorvan::import_attr("sqlalchemy.exc", "SQLAlchemyError"));
    builder
        .doc(
            "A query refused before it reached the database.\n\n"
            "A SQLAlchemyError, so that callers that record database errors record it too.\n"
            "Its text says what was refused and what to do instead; ``refused`` names what\n"
            "was refused (\"a call to pg_sleep()\"), ``statement`` is the text as given.")
        .attr("refused", py::none())
        .attr("statement", py::none());
    return builder.build();
}

void raise_refusal(const Refusal& refusal, const std::string& statement) {
    py::object error_class = zorvan::import_attr("zorvanai.qa_graph.custom_sql", "ReadOnlyQueryError");
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
