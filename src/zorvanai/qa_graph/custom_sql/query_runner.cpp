#include "query_runner.hpp"

#include "fetch_paths.hpp"
#include "handle_view.hpp"
#include "read_only_session.hpp"
#include "refusal.hpp"
#include "server_errors.hpp"
#include "sql_guard.hpp"
#include "statement_text.hpp"
#include "table_check.hpp"
#include "zorvan/watched_work.hpp"

namespace zorvanai::custom_sql {

FetchMode parse_fetch(const py::object& fetch) {
    if (py::isinstance<py::str>(fetch)) {
        const std::string text = py::str(fetch);
        if (text == "all") return FetchMode::All;
        if (text == "one") return FetchMode::One;
        if (text == "cursor") return FetchMode::Cursor;
    }
    throw py::value_error("Fetch parameter must be either 'one', 'all', or 'cursor'");
}

RenderOptions render_options(const HandleConfig& config, FetchMode mode, bool include_columns) {
    RenderOptions options;
    options.include_columns = include_columns;
    // Rows handed over as values keep their full text, up to the budget.
    options.max_string_length = mode == FetchMode::Cursor ? 0 : config.max_string_length;
    options.max_bytes = config.max_result_bytes;
    options.cap = mode == FetchMode::One ? 1 : config.max_rows;
    options.single = mode == FetchMode::One;
    return options;
}

FetchedRows fetch_rows(const HandleConfig& config, const py::object& command, const py::object& parameters,
                       const py::object& execution_options, const RenderOptions& options) {
    const QueryText text = query_text(config, command, parameters, execution_options);
    if (config.kind == ServerKind::Other) {
        raise_refusal({"a query to a " + config.dialect_name + " database, which the query check does not know",
                       "Queries can be checked for PostgreSQL, MySQL/MariaDB, SQL Server and SQLite only."},
                      text.given);
    }
    const CheckedQuery checked = check_query(text.checked, guard_context(config));
    if (checked.refusal) raise_refusal(*checked.refusal, text.given);
    const RunPlan plan{config, text, checked, options};

    const bool watched = config.kind == ServerKind::PostgreSQL || is_mysql_family(config.kind);
    zorvan::WorkWatch watch;
    FetchedRows fetched;
    const auto work = [&]() -> py::object {
        std::optional<long> select_limit;
        if (is_mysql_family(config.kind) && config.driver != "mysqlconnector") select_limit = options.cap + 1;
        ReadOnlySession session(config, watched ? &watch : nullptr, select_limit);
        check_tables(session, config, checked, text.given);
        if (config.kind == ServerKind::PostgreSQL && config.driver == "psycopg2") {
            fetched = fetch_postgres(session, plan);
        } else if (is_mysql_family(config.kind) && config.driver == "mysqlconnector") {
            fetched = fetch_mysql(session, plan);
        } else {
            fetched = fetch_generic(session, plan);
        }
        return py::none();
    };
    if (!watched) {
        work();
        return fetched;
    }
    try {
        zorvan::run_watched(watch, client_step_limit(config), work);
    } catch (py::error_already_set& error) {
        if (watch.overdue() && !error.matches(PyExc_KeyboardInterrupt)) raise_silent_server(config, text.given);
        throw;
    }
    return fetched;
}

}  // namespace zorvanai::custom_sql
