#include "fetch_paths.hpp"
#include "server_errors.hpp"

namespace zorvanai::custom_sql {

namespace {

constexpr long kBatch = 50;

// A value longer than `length` characters (or bytes), cut and marked.
py::object cut_value(py::handle value, long length) {
    if (length <= 0) return py::reinterpret_borrow<py::object>(value);
    const bool text = py::isinstance<py::str>(value);
    if (!text && !py::isinstance<py::bytes>(value)) return py::reinterpret_borrow<py::object>(value);
    if (static_cast<long>(py::len(value)) <= length) return py::reinterpret_borrow<py::object>(value);
    py::object head = value[py::slice(0, length, 1)];
    if (!text) head = head.attr("decode")("utf-8", "replace");
    return head + py::str(cut_marker(length));
}

}  // namespace

FetchedRows fetch_generic(ReadOnlySession& session, const RunPlan& plan) {
    py::dict options;
    for (auto item : plan.text.options) options[item.first] = item.second;
    // A server-side cursor where the driver has one, so rows past the cap are
    // never sent.
    options["stream_results"] = py::bool_(true);
    options["max_row_buffer"] = py::int_(kBatch);
    py::object result;
    try {
        result = plan.text.statement.is_none() ? session.execute_text(plan.checked.statement, options)
                                               : session.execute(plan.text.statement, py::none(), options);
    } catch (py::error_already_set& error) {
        if (session.stopped_at_time_limit()) raise_time_limit(plan.config, plan.checked.statement);
        raise_query_error(error, plan.config, SentQuery{plan.checked.statement, 0, py::none()});
    }
    std::vector<std::string> names;
    if (!py::bool_(result.attr("returns_rows"))) {
        result.attr("close")();
        return RowCollector(plan.render, names).rows();
    }
    for (py::handle key : result.attr("keys")()) names.push_back(py::str(key));
    RowCollector collector(plan.render, names);
    const long text_length = server_cut_length(plan.render, true);
    const long other_length = server_cut_length(plan.render, false);
    long pulled = 0;
    bool exhausted = false;
    try {
        while (collector.wants_more() && !exhausted) {
            session.step();
            py::list rows = result.attr("fetchmany")(kBatch);
            pulled += static_cast<long>(rows.size());
            exhausted = rows.size() < static_cast<std::size_t>(kBatch);
            for (py::handle row : rows) {
                py::list values;
                for (py::handle value : row) {
                    values.append(cut_value(value, py::isinstance<py::str>(value) ? text_length : other_length));
                }
                if (!collector.add(py::tuple(values))) break;
            }
        }
        FetchedRows& fetched = collector.rows();
        // SQLite reads in this process: the rest is counted by stepping over it.
        if (fetched.more && plan.config.kind == ServerKind::SQLite) {
            while (!exhausted) {
                py::list rows = result.attr("fetchmany")(1000);
                pulled += static_cast<long>(rows.size());
                exhausted = rows.empty();
            }
            fetched.total = pulled;
        } else if (fetched.more && exhausted && !is_mysql_family(plan.config.kind)) {
            fetched.total = pulled;
        }
    } catch (py::error_already_set& error) {
        result.attr("close")();
        if (session.stopped_at_time_limit()) raise_time_limit(plan.config, plan.checked.statement);
        raise_query_error(error, plan.config, SentQuery{plan.checked.statement, 0, py::none()});
    }
    result.attr("close")();
    return std::move(collector.rows());
}

}  // namespace zorvanai::custom_sql
