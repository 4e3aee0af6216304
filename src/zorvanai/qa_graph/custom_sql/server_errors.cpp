#include "server_errors.hpp"

#include <cmath>

#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

std::string optional_text(const py::object& value) {
    return value.is_none() ? std::string() : std::string(py::str(value));
}

// PostgreSQL's "LINE n: ..." context with a caret under character `at` of
// the query.
std::string line_context(const std::string& query_text, long at) {
    py::str query(query_text);
    const std::string before = py::str(query[py::slice(0, at, 1)]);
    long line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (before[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    std::size_t line_end = query_text.find('\n', before.size());
    if (line_end == std::string::npos) line_end = query_text.size();
    std::string shown = query_text.substr(line_start, line_end - line_start);
    // Columns count characters, not bytes.
    long column = static_cast<long>(py::len(py::str(before.substr(line_start))));
    const long shown_length = static_cast<long>(py::len(py::str(shown)));
    std::string lead;
    if (shown_length > 72 && column > 36) {
        const long from = std::min(column - 30, shown_length - 60);
        shown = "..." + std::string(py::str(py::str(shown)[py::slice(from, shown_length, 1)]));
        column = column - from + 3;
    }
    const std::string prefix = "LINE " + std::to_string(line) + ": ";
    return "\n" + prefix + shown + "\n" + std::string(prefix.size() + static_cast<std::size_t>(column), ' ') + "^";
}

std::string message_for(const py::object& orig, const SentQuery& sent) {
    if (py::hasattr(orig, "diag")) {
        py::object diag = orig.attr("diag");
        const std::string primary = optional_text(diag.attr("message_primary"));
        if (!primary.empty()) {
            std::string text = primary;
            const std::string position = optional_text(diag.attr("statement_position"));
            if (!position.empty() && sent.offset >= 0) {
                const long at = std::stol(position) - 1 - sent.offset;
                if (at >= 0 && at <= static_cast<long>(py::len(py::str(sent.query)))) {
                    text += line_context(sent.query, at);
                }
            }
            const std::string detail = optional_text(diag.attr("message_detail"));
            const std::string hint = optional_text(diag.attr("message_hint"));
            if (!detail.empty()) text += "\nDETAIL:  " + detail;
            if (!hint.empty()) text += "\nHINT:  " + hint;
            return text;
        }
    }
    std::string text = py::str(orig);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

[[noreturn]] void raise_with_text(py::object error, const std::string& text, const py::object& cause) {
    py::object orig = error.attr("orig");
    const std::string origin = std::string(py::str(py::type::of(orig).attr("__module__"))) + "." +
                               std::string(py::str(py::type::of(orig).attr("__name__")));
    error.attr("args") = py::make_tuple(py::str("(" + origin + ") " + text));
    // The link to SQLAlchemy's error pages is of no use to the model.
    error.attr("code") = py::none();
    PyException_SetCause(error.ptr(), cause.inc_ref().ptr());
    PyErr_SetObject(py::type::of(error).ptr(), error.ptr());
    throw py::error_already_set();
}

}  // namespace

void raise_query_error(py::error_already_set& error, const HandleConfig& config, const SentQuery& sent) {
    py::object value = error.value();
    py::object dbapi_error = zorvan::imported(zorvan::dep::sqlalchemy_exc_DBAPIError);
    py::object driver = config.engine.attr("dialect").attr("loaded_dbapi");
    py::object orig;
    bool invalidated = false;
    if (py::isinstance(value, dbapi_error) && !value.attr("orig").is_none()) {
        orig = value.attr("orig");
        invalidated = py::bool_(value.attr("connection_invalidated"));
    } else if (py::isinstance(value, driver.attr("Error"))) {
        orig = value;
    } else {
        throw error;
    }
    py::object wrapped = dbapi_error.attr("instance")(
        sent.query, sent.parameters, orig, driver.attr("Error"), py::arg("hide_parameters") = false,
        py::arg("connection_invalidated") = invalidated, py::arg("dialect") = config.engine.attr("dialect"));
    raise_with_text(wrapped, message_for(orig, sent), orig);
}

void raise_time_limit(const HandleConfig& config, const std::string& query) {
    py::object reason = zorvan::imported_module(zorvan::dep::builtins_module)
                            .attr("TimeoutError")("The query ran longer than the time limit of " +
                                                  std::string(py::repr(py::float_(config.statement_timeout))) +
                                                  " seconds and was stopped.");
    py::object error = zorvan::imported(zorvan::dep::sqlalchemy_exc_OperationalError)(query, py::none(), reason);
    raise_with_text(error, py::str(reason), reason);
}

void raise_silent_server(const HandleConfig& config, const std::string& query) {
    const long seconds = static_cast<long>(std::ceil(client_step_limit(config)));
    py::object reason =
        zorvan::imported_module(zorvan::dep::builtins_module)
            .attr("TimeoutError")("The database server did not answer within " + std::to_string(seconds) +
                                  " seconds (the statement limit and 10 s more), so the connection "
                                  "was closed. Ask again later, or with a simpler query.");
    py::object error = zorvan::imported(zorvan::dep::sqlalchemy_exc_OperationalError)(query, py::none(), reason);
    raise_with_text(error, py::str(reason), reason);
}

}  // namespace zorvanai::custom_sql
