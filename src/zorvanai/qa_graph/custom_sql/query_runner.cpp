#include "query_runner.hpp"

#include <algorithm>

#include "read_only_session.hpp"
#include "statement_guard.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

bool is_sqlalchemy_error(py::error_already_set& error) {
    return error.matches(zorvan::import_attr("sqlalchemy.exc", "SQLAlchemyError"));
}

void close_quietly(const py::object& result) {
    try {
        result.attr("close")();
    } catch (py::error_already_set&) {
    }
}

// The same cut as the stock handle: whole words up to `length` characters,
// then "...".
py::object truncate_value(py::handle value, long length) {
    if (!py::isinstance<py::str>(value) || length <= 0) return py::reinterpret_borrow<py::object>(value);
    if (static_cast<long>(py::len(value)) <= length) return py::reinterpret_borrow<py::object>(value);
    py::object head = value[py::module_::import("builtins").attr("slice")(py::none(), length - 3)];
    py::list words = head.attr("rsplit")(" ", 1);
    return py::object(words[0]) + py::str("...");
}

std::string plural_rows(long long count) {
    return count == 1 ? "1 more row" : std::to_string(count) + " more rows";
}

// Rows beyond the first cap+1 already read, counted by the server without
// sending them: PostgreSQL moves its cursor to the end, other servers count
// the statement's rows in a subquery. Unknown when that fails or times out.
std::optional<long long> count_left_out(ReadOnlySession& session, const HandleConfig& config, const py::object& result,
                                        const std::string& statement, const py::object& parameters, long cap) {
    py::object cursor = result.attr("cursor");
    if (config.kind == ServerKind::PostgreSQL && !cursor.is_none() && py::hasattr(cursor, "name") &&
        !cursor.attr("name").is_none()) {
        const std::string name = py::str(cursor.attr("name"));
        std::optional<long long> left_out;
        try {
            py::object moved = session.execute_text("MOVE FORWARD ALL IN \"" + name + "\"");
            left_out = moved.attr("rowcount").cast<long long>() + 1;
        } catch (py::error_already_set& error) {
            if (!is_sqlalchemy_error(error)) throw;
        }
        close_quietly(result);
        return left_out;
    }
    close_quietly(result);
    const std::string count_sql = "SELECT COUNT(*) FROM (\n" + statement + "\n) AS counted_rows";
    try {
        py::object counted = parameters.is_none()
                                 ? session.execute_text(count_sql)
                                 : session.execute(zorvan::import_attr("sqlalchemy", "text")(count_sql), parameters);
        py::object total = counted.attr("scalar")();
        if (total.is_none()) return std::nullopt;
        return std::max<long long>(total.cast<long long>() - cap, 1);
    } catch (py::error_already_set& error) {
        if (!is_sqlalchemy_error(error)) throw;
        return std::nullopt;
    }
}

}  // namespace

FetchMode parse_fetch(const py::object& fetch) {
    if (py::isinstance<py::str>(fetch)) {
        const std::string text = py::str(fetch);
        if (text == "all") return FetchMode::All;
        if (text == "one") return FetchMode::One;
        if (text == "cursor") {
            throw py::value_error(
                "fetch='cursor' is not available: every statement runs in a read-only transaction that is rolled "
                "back before run returns; use fetch='all' or fetch='one'");
        }
    }
    throw py::value_error("Fetch parameter must be either 'one', 'all', or 'cursor'");
}

std::string command_text(const HandleConfig& config, const py::object& command) {
    if (py::isinstance<py::str>(command)) return py::str(command);
    if (py::isinstance(command, zorvan::import_attr("sqlalchemy.sql.expression", "Executable"))) {
        py::dict compile_kwargs;
        compile_kwargs["literal_binds"] = py::bool_(true);
        py::object compiled = command.attr("compile")(py::arg("dialect") = config.engine.attr("dialect"),
                                                      py::arg("compile_kwargs") = compile_kwargs);
        return py::str(compiled);
    }
    throw py::type_error("Query expression has unknown type: " + std::string(py::str(py::type::of(command))));
}

FetchedRows fetch_rows(const HandleConfig& config, const py::object& command, const py::object& parameters,
                       const py::object& execution_options, FetchMode mode) {
    const std::string sql = command_text(config, command);
    const GuardVerdict verdict =
        check_statement(sql, sqlglot_dialect(config.kind, config.dialect_name), is_mysql_family(config.kind));
    if (!verdict.allowed) raise_refusal(verdict, sql);

    py::object bound = parameters;
    if (!bound.is_none() && py::len(bound) == 0) bound = py::none();

    const long cap = mode == FetchMode::One ? 1 : config.max_rows;
    std::optional<long> select_limit;
    if (is_mysql_family(config.kind)) select_limit = cap + 1;
    ReadOnlySession session(config, select_limit);

    py::dict options;
    if (!execution_options.is_none()) {
        for (auto item : py::dict(execution_options)) options[item.first] = item.second;
    }
    // A server-side cursor where the driver has one, so rows past the cap are
    // never sent.
    options["stream_results"] = py::bool_(true);
    options["max_row_buffer"] = py::int_(cap + 1);
    py::object result =
        bound.is_none() ? session.execute_text(verdict.statement, options)
                        : session.execute(zorvan::import_attr("sqlalchemy", "text")(verdict.statement), bound, options);

    FetchedRows fetched;
    if (!py::bool_(result.attr("returns_rows"))) {
        close_quietly(result);
        return fetched;
    }
    py::list rows = result.attr("fetchmany")(cap + 1);
    fetched.rows = py::list(rows[py::slice(0, std::min<long>(cap, static_cast<long>(rows.size())), 1)]);
    if (mode == FetchMode::One || static_cast<long>(rows.size()) <= cap) {
        close_quietly(result);
        return fetched;
    }
    fetched.more = true;
    fetched.left_out = count_left_out(session, config, result, verdict.statement, bound, cap);
    return fetched;
}

std::string render_rows(const FetchedRows& fetched, bool include_columns, long max_string_length, long cap) {
    py::list rendered;
    for (py::handle row : fetched.rows) {
        if (include_columns) {
            py::dict values;
            for (auto item : py::dict(row.attr("_asdict")())) {
                values[item.first] = truncate_value(item.second, max_string_length);
            }
            rendered.append(values);
        } else {
            py::list values;
            for (py::handle value : row) values.append(truncate_value(value, max_string_length));
            rendered.append(py::tuple(values));
        }
    }
    if (rendered.empty()) return "";
    std::string text = py::str(rendered);
    if (fetched.more) {
        if (fetched.left_out) {
            text += "\n[" + plural_rows(*fetched.left_out) + " left out: the result has " +
                    std::to_string(*fetched.left_out + cap) + " rows and only the first " + std::to_string(cap) +
                    " are shown]";
        } else {
            text += "\n[more rows left out: only the first " + std::to_string(cap) + " rows of the result are shown]";
        }
    }
    return text;
}

py::list rows_as_dicts(const FetchedRows& fetched) {
    py::list rows;
    for (py::handle row : fetched.rows) rows.append(row.attr("_asdict")());
    return rows;
}

}  // namespace zorvanai::custom_sql
