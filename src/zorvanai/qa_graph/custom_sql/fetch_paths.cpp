#include "fetch_paths.hpp"

#include <algorithm>
#include <cctype>
#include <set>

#include "server_errors.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

constexpr long kBatch = 20;

struct ColumnPlan {
    std::string name;
    bool cut = false;  // long values are cut on the server
    long length = 0;   // characters kept of a cut value
};

// c1, c2, ...: the names the wrapper gives the query's columns, so that
// duplicate or empty names in the query do not matter.
std::string derived_names(std::size_t count) {
    std::string names;
    for (std::size_t i = 1; i <= count; ++i) names += (i > 1 ? ", c" : "c") + std::to_string(i);
    return names;
}

std::vector<std::string> numbered(std::size_t count) {
    std::vector<std::string> names;
    for (std::size_t i = 1; i <= count; ++i) names.push_back("c" + std::to_string(i));
    return names;
}

// Each column as it is sent: short values as they are, a long value as
// NULL followed by its first characters, so that types stay exact.
// `references` name the columns in the wrapper.
std::string select_list(const std::vector<ColumnPlan>& columns, const std::vector<std::string>& references,
                        bool postgres, const std::vector<bool>& binary) {
    std::string list;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const std::string& c = references[i];
        if (i > 0) list += ", ";
        if (!columns[i].cut) {
            list += c;
            continue;
        }
        const std::string n = std::to_string(columns[i].length);
        const std::string longer = postgres ? "octet_length(" + c + "::text) > " + n
                                            : std::string(binary[i] ? "LENGTH(" : "CHAR_LENGTH(") + c + ") > " + n;
        const std::string head = postgres ? "left(" + c + "::text, " + n + ")" : "LEFT(" + c + ", " + n + ")";
        list += "CASE WHEN " + longer + " THEN NULL ELSE " + c + " END, CASE WHEN " + longer + " THEN " + head + " END";
    }
    return list;
}

py::tuple merged_row(const py::handle& row, const std::vector<ColumnPlan>& columns) {
    py::tuple sent = py::reinterpret_borrow<py::tuple>(row);
    py::list values;
    std::size_t at = 0;
    for (const ColumnPlan& column : columns) {
        if (!column.cut) {
            values.append(sent[at++]);
            continue;
        }
        py::object whole = sent[at];
        py::object head = sent[at + 1];
        at += 2;
        if (head.is_none()) {
            values.append(whole);
        } else {
            if (py::isinstance<py::bytes>(head)) head = head.attr("decode")("utf-8", "replace");
            values.append(head + py::str(cut_marker(column.length)));
        }
    }
    return py::tuple(values);
}

// PostgreSQL types whose values stay small; every other value may be cut.
bool small_postgres_type(long oid) {
    static const long small[] = {16,  18,  20,   21,   23,   26,   27,   28,   29,   650,  700,  701, 790,
                                 829, 869, 1082, 1083, 1114, 1184, 1186, 1266, 1560, 1700, 2950, 3220};
    return std::find(std::begin(small), std::end(small), oid) != std::end(small);
}

bool text_postgres_type(long oid) {
    return oid == 25 || oid == 1043 || oid == 1042 || oid == 19 || oid == 705;
}

// MySQL field types that hold text, bytes or JSON.
bool long_mysql_type(long type) {
    return type == 15 || type == 245 || (type >= 249 && type <= 254);
}

std::string mysql_name(const std::string& name) {
    std::string quoted = "`";
    for (char c : name) quoted += c == '`' ? std::string("``") : std::string(1, c);
    return quoted + "`";
}

SentQuery sent(const DriverText& text, long offset) {
    return SentQuery{text.sql, offset, text.parameters};
}

}  // namespace

FetchedRows fetch_postgres(ReadOnlySession& session, const RunPlan& plan) {
    const DriverText query = driver_text(plan.config, plan.text, plan.checked.statement);
    py::object cursor = session.driver_connection().attr("cursor")();
    const std::string probe_head = "SELECT * FROM (\n";
    try {
        session.step();
        // LIMIT 0: the columns are learnt without the query being run.
        cursor.attr("execute")(probe_head + query.sql + "\n) AS zorvan_probe LIMIT 0", query.parameters);
    } catch (py::error_already_set& error) {
        raise_query_error(error, plan.config, sent(query, static_cast<long>(probe_head.size())));
    }
    std::vector<ColumnPlan> columns;
    for (py::handle item : cursor.attr("description")) {
        const long oid = item.attr("type_code").cast<long>();
        ColumnPlan column{py::str(item.attr("name")), !small_postgres_type(oid), 0};
        column.length = server_cut_length(plan.render, text_postgres_type(oid));
        if (column.length <= 0) column.cut = false;
        columns.push_back(column);
    }
    const std::string head =
        "DECLARE zorvan_rows NO SCROLL CURSOR FOR SELECT " +
        select_list(columns, numbered(columns.size()), true, std::vector<bool>(columns.size(), false)) + " FROM (\n";
    try {
        session.step();
        cursor.attr("execute")(head + query.sql + "\n) AS zorvan_q" +
                                   (columns.empty() ? std::string() : "(" + derived_names(columns.size()) + ")"),
                               query.parameters);
    } catch (py::error_already_set& error) {
        raise_query_error(error, plan.config, sent(query, static_cast<long>(head.size())));
    }
    std::vector<std::string> names;
    for (const ColumnPlan& column : columns) names.push_back(column.name);
    RowCollector collector(plan.render, names);
    long pulled = 0;
    bool exhausted = false;
    try {
        while (collector.wants_more() && !exhausted) {
            const long batch = std::min(kBatch, plan.render.cap + 1 - pulled);
            session.step();
            cursor.attr("execute")("FETCH FORWARD " + std::to_string(std::max(batch, 1L)) + " FROM zorvan_rows");
            py::list rows = cursor.attr("fetchall")();
            pulled += static_cast<long>(rows.size());
            exhausted = rows.size() < static_cast<std::size_t>(std::max(batch, 1L));
            for (py::handle row : rows) {
                if (!collector.add(merged_row(row, columns))) break;
            }
        }
    } catch (py::error_already_set& error) {
        raise_query_error(error, plan.config, sent(query, -1));
    }
    FetchedRows fetched = std::move(collector.rows());
    if (fetched.more && !exhausted) {
        // The rows past those read are counted where they are, in the same pass.
        try {
            session.step();
            cursor.attr("execute")("MOVE FORWARD ALL IN zorvan_rows");
            fetched.total = pulled + cursor.attr("rowcount").cast<long long>();
        } catch (py::error_already_set& error) {
            if (!error.matches(zorvan::imported(zorvan::dep::psycopg2_Error))) throw;
        }
    } else if (fetched.more) {
        fetched.total = pulled;
    }
    return fetched;
}

FetchedRows fetch_mysql(ReadOnlySession& session, const RunPlan& plan) {
    const DriverText query = driver_text(plan.config, plan.text, plan.checked.statement);
    const DriverText prepared = driver_text(plan.config, plan.text, plan.checked.statement, "qmark");
    py::object driver = session.driver_connection();
    std::vector<ColumnPlan> columns;
    std::vector<bool> binary;
    try {
        // A prepared statement tells the columns without running the query.
        // It is not closed here (COM_STMT_CLOSE has no answer, which would
        // hold the next command back on the socket); the session reset at
        // check-in deallocates it.
        session.step();
        py::dict info = driver.attr("cmd_stmt_prepare")(py::bytes(prepared.sql));
        for (py::handle item : info["columns"]) {
            py::tuple field = py::reinterpret_borrow<py::tuple>(item);
            const long type = field[1].cast<long>();
            const bool bytes = field.size() > 8 && !field[8].is_none() && field[8].cast<long>() == 63;
            ColumnPlan column{py::str(field[0]), long_mysql_type(type), server_cut_length(plan.render, !bytes)};
            if (column.length <= 0) column.cut = false;
            columns.push_back(column);
            binary.push_back(bytes);
        }
    } catch (py::error_already_set& error) {
        raise_query_error(error, plan.config, sent(query, 0));
    }
    // The query's columns are named by their own names in a derived table,
    // or, when two share a name, numbered in a WITH list (MariaDB then no
    // longer knows the names inside the query: a UNION's ORDER BY by name
    // fails). An ORDER BY survives the wrapper only with a LIMIT beside it
    // (the server then materialises the rows in order); a query without one
    // is merged into the wrapper and streams.
    std::vector<std::string> references;
    std::set<std::string> seen;
    for (const ColumnPlan& column : columns) {
        std::string folded;
        for (char c : column.name) folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (column.name.empty() || !seen.insert(folded).second) break;
        references.push_back(mysql_name(column.name));
    }
    const bool by_name = references.size() == columns.size();
    if (!by_name) references = numbered(columns.size());
    const std::string head =
        by_name ? "SELECT SQL_CALC_FOUND_ROWS " + select_list(columns, references, false, binary) + " FROM ("
                : "WITH zorvan_q(" + derived_names(columns.size()) + ") AS (";
    const bool keep_order = plan.checked.has_order && !plan.checked.has_limit;
    const std::string inner = query.sql + (keep_order ? "\nLIMIT 18446744073709551615" : "") + "\n)";
    const std::string tail =
        by_name ? " AS zorvan_q"
                : " SELECT SQL_CALC_FOUND_ROWS " + select_list(columns, references, false, binary) + " FROM zorvan_q";
    const std::string wrapped = head + inner + tail + " LIMIT " + std::to_string(plan.render.cap + 1);
    std::vector<std::string> names;
    for (const ColumnPlan& column : columns) names.push_back(column.name);
    RowCollector collector(plan.render, names);
    py::object cursor = driver.attr("cursor")(py::arg("buffered") = false);
    try {
        session.step();
        cursor.attr("execute")(wrapped, query.parameters);
        long pulled = 0;
        for (py::object row = cursor.attr("fetchone")(); !row.is_none(); row = cursor.attr("fetchone")()) {
            if (++pulled % kBatch == 0) session.step();
            if (collector.wants_more()) collector.add(merged_row(row, columns));
        }
        cursor.attr("close")();
        session.step();
        py::object counter = driver.attr("cursor")();
        counter.attr("execute")("SELECT FOUND_ROWS()");
        py::object total = counter.attr("fetchone")()[py::int_(0)];
        counter.attr("close")();
        if (collector.rows().more) collector.rows().total = total.cast<long long>();
    } catch (py::error_already_set& error) {
        raise_query_error(error, plan.config, sent(query, static_cast<long>(head.size())));
    }
    return std::move(collector.rows());
}

}  // namespace zorvanai::custom_sql
