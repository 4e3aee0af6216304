#include "result_text.hpp"

#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

// The same cut as the stock handle: whole words up to `length` characters,
// then "...".
py::object truncate_value(py::handle value, long length) {
    if (!py::isinstance<py::str>(value) || length <= 0) return py::reinterpret_borrow<py::object>(value);
    if (static_cast<long>(py::len(value)) <= length) return py::reinterpret_borrow<py::object>(value);
    py::object head = value[zorvan::imported(zorvan::dep::builtins_slice)(py::none(), length - 3)];
    py::list words = head.attr("rsplit")(" ", 1);
    return py::object(words[0]) + py::str("...");
}

std::string plural_rows(long long count) {
    return count == 1 ? "1 more row" : std::to_string(count) + " more rows";
}

// At most `bytes` bytes of UTF-8 `text`, not splitting a character.
std::string utf8_prefix(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

}  // namespace

long server_cut_length(const RenderOptions& options, bool text_column) {
    if (text_column && options.max_string_length > 0) return options.max_string_length + 1;
    return options.max_bytes > 0 ? options.max_bytes + 1 : 0;
}

std::string cut_marker(long length) {
    return " [... value cut after " + std::to_string(length) + " characters]";
}

RowCollector::RowCollector(RenderOptions options, std::vector<std::string> columns) : options_(options) {
    fetched_.columns = std::move(columns);
}

bool RowCollector::add(const py::handle& row) {
    if (!wanting_) return false;
    ++fetched_.read;
    if (static_cast<long>(fetched_.rows.size()) >= options_.cap) {
        fetched_.more = true;
        wanting_ = false;
        return false;
    }
    py::list values;
    for (py::handle value : row) values.append(truncate_value(value, options_.max_string_length));
    py::object shown;
    if (options_.include_columns) {
        py::dict named;
        for (std::size_t i = 0; i < fetched_.columns.size() && i < values.size(); ++i) {
            named[py::str(fetched_.columns[i])] = values[i];
        }
        shown = named;
    } else {
        shown = py::tuple(values);
    }
    std::string piece = py::repr(shown);
    const std::size_t size = piece.size() + (fetched_.pieces.empty() ? 0 : 2);
    if (options_.max_bytes > 0 && bytes_ + size > static_cast<std::size_t>(options_.max_bytes)) {
        fetched_.over_budget = true;
        if (!fetched_.pieces.empty()) {
            fetched_.more = true;
            wanting_ = false;
            return false;
        }
        // The first row is shown even when it alone is over the budget.
        const std::string marker = " ...[row cut]";
        const long room = options_.max_bytes - static_cast<long>(bytes_ + marker.size());
        piece = utf8_prefix(piece, room > 0 ? static_cast<std::size_t>(room) : 0) + marker;
    }
    bytes_ += piece.size() + (fetched_.pieces.empty() ? 0 : 2);
    fetched_.pieces.push_back(std::move(piece));
    fetched_.rows.append(py::tuple(py::reinterpret_borrow<py::object>(row)));
    if (options_.single) wanting_ = false;
    return true;
}

std::string render_rows(const FetchedRows& fetched, const RenderOptions& options) {
    if (fetched.pieces.empty()) return "";
    std::string text = "[";
    for (std::size_t i = 0; i < fetched.pieces.size(); ++i) text += (i ? ", " : "") + fetched.pieces[i];
    text += "]";
    if (!fetched.more) return text;
    const long long shown = static_cast<long long>(fetched.pieces.size());
    const std::string budget =
        fetched.over_budget ? ", to keep the text within " + std::to_string(options.max_bytes) + " bytes" : "";
    if (fetched.total && *fetched.total > shown) {
        text += "\n[" + plural_rows(*fetched.total - shown) + " left out: the result has " +
                std::to_string(*fetched.total) + " rows and only the first " + std::to_string(shown) + " are shown" +
                budget + "]";
    } else {
        text += "\n[more rows left out: only the first " + std::to_string(shown) + " rows of the result are shown" +
                budget + "]";
    }
    return text;
}

py::list rows_as_dicts(const FetchedRows& fetched) {
    py::list out;
    for (py::handle row : fetched.rows) {
        py::dict named;
        py::tuple values = py::reinterpret_borrow<py::tuple>(row);
        for (std::size_t i = 0; i < fetched.columns.size() && i < values.size(); ++i) {
            named[py::str(fetched.columns[i])] = values[i];
        }
        out.append(named);
    }
    return out;
}

py::object rows_as_result(const FetchedRows& fetched) {
    py::list names;
    for (const std::string& name : fetched.columns) names.append(py::str(name));
    py::object metadata = zorvan::imported(zorvan::dep::sqlalchemy_engine_result_SimpleResultMetaData)(names);
    py::object rows = zorvan::imported(zorvan::dep::builtins_iter)(fetched.rows);
    return zorvan::imported(zorvan::dep::sqlalchemy_engine_result_IteratorResult)(metadata, rows);
}

}  // namespace zorvanai::custom_sql
