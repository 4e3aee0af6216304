#include <optional>
#include <vector>

#include "cli.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

namespace {

constexpr std::size_t kMaxCell = 60;

struct Cell {
    std::string text;
    bool numeric = false;
};
using Row = std::vector<Cell>;

// Display width of UTF-8 text: one column per code point.
std::size_t width_of(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text) count += (c & 0xC0) != 0x80;
    return count;
}

std::string clip(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    if (width_of(text) <= kMaxCell) return text;
    std::size_t kept = 0, bytes = 0;
    while (bytes < text.size() && kept < kMaxCell - 3) {
        ++bytes;
        while (bytes < text.size() && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) ++bytes;
        ++kept;
    }
    return text.substr(0, bytes) + "...";
}

std::string pad(const std::string& text, std::size_t width, bool right) {
    const std::size_t have = width_of(text);
    if (have >= width) return text;
    const std::string fill(width - have, ' ');
    return right ? fill + text : text + fill;
}

std::string indent(std::string text, const std::string& prefix) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out += prefix + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

bool is_number(const py::handle& value) {
    if (py::isinstance<py::bool_>(value)) return false;
    if (py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)) return true;
    return py::isinstance(value, zorvan::imported(zorvan::dep::decimal_Decimal));
}

Cell cell_of_value(const py::object& value) {
    if (value.is_none()) return {"NULL", false};
    return {clip(py::str(value)), is_number(value)};
}

// One value of the rows' text. Values print as their Python repr, so
// Decimal('1.50') and datetime.date(2024, 1, 31) are rebuilt from their
// literal arguments; anything else is shown as written.
Cell cell_of_node(const py::object& node) {
    py::module_ ast = zorvan::imported_module(zorvan::dep::ast_module);
    try {
        return cell_of_value(ast.attr("literal_eval")(node));
    } catch (py::error_already_set&) {
    }
    if (py::isinstance(node, ast.attr("Call"))) {
        const std::string function = py::str(ast.attr("unparse")(node.attr("func")));
        const std::string leaf = function.substr(function.rfind('.') + 1);
        try {
            py::list args;
            for (py::handle arg : node.attr("args")) args.append(ast.attr("literal_eval")(arg));
            py::dict kwargs;
            for (py::handle keyword : node.attr("keywords")) {
                if (keyword.attr("arg").is_none()) throw std::runtime_error("** argument");
                kwargs[keyword.attr("arg")] = ast.attr("literal_eval")(keyword.attr("value"));
            }
            if (leaf == "Decimal") {
                return cell_of_value(zorvan::imported(zorvan::dep::decimal_Decimal)(*args, **kwargs));
            }
            if (leaf == "date" || leaf == "datetime" || leaf == "time" || leaf == "timedelta") {
                return cell_of_value(
                    zorvan::imported_module(zorvan::dep::datetime_module).attr(leaf.c_str())(*args, **kwargs));
            }
            if (leaf == "UUID") return cell_of_value(zorvan::imported(zorvan::dep::uuid_UUID)(*args, **kwargs));
        } catch (py::error_already_set&) {
        } catch (const std::runtime_error&) {
        }
    }
    return {clip(py::str(ast.attr("unparse")(node))), false};
}

// The rows of a result text "[(...), (...)]", or nothing when the text is
// not a list of rows (an error text, "None").
std::optional<std::vector<Row>> parse_rows(const std::string& text) {
    py::module_ ast = zorvan::imported_module(zorvan::dep::ast_module);
    py::object tree;
    try {
        tree = ast.attr("parse")(text, py::arg("mode") = "eval").attr("body");
    } catch (py::error_already_set&) {
        return std::nullopt;
    }
    if (!py::isinstance(tree, ast.attr("List"))) return std::nullopt;
    std::vector<Row> rows;
    for (py::handle element : tree.attr("elts")) {
        if (!py::isinstance(element, ast.attr("Tuple"))) return std::nullopt;
        Row row;
        for (py::handle value : element.attr("elts"))
            row.push_back(cell_of_node(py::reinterpret_borrow<py::object>(value)));
        rows.push_back(std::move(row));
    }
    if (rows.empty()) return std::nullopt;
    return rows;
}

// Output column names of a query, when the query names them all.
std::vector<std::string> column_names(const py::object& query, const std::string& dialect, std::size_t columns) {
    if (!py::isinstance<py::str>(query)) return {};
    try {
        py::object tree = zorvan::imported(zorvan::dep::sqlglot_parse_one)(query, py::arg("read") = dialect);
        py::list names = tree.attr("named_selects");
        py::list selects = tree.attr("selects");
        if (names.size() != columns || selects.size() != columns) return {};
        std::vector<std::string> result;
        for (std::size_t i = 0; i < columns; ++i) {
            std::string name = py::str(names[i]);
            if (name == "*") return {};
            if (name.empty()) name = py::str(selects[i].attr("sql")(py::arg("dialect") = dialect));
            result.push_back(clip(name));
        }
        return result;
    } catch (py::error_already_set&) {
        return {};
    }
}

std::string table(const std::vector<Row>& rows, const std::vector<std::string>& header) {
    std::size_t columns = 0;
    for (const auto& row : rows) columns = std::max(columns, row.size());
    std::vector<std::size_t> widths(columns, 0);
    std::vector<bool> numeric(columns, true);
    for (std::size_t i = 0; i < header.size() && i < columns; ++i) widths[i] = width_of(header[i]);
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], width_of(row[i].text));
            if (!row[i].numeric && row[i].text != "NULL") numeric[i] = false;
        }
    }
    auto line = [&](const std::vector<std::string>& cells, bool align) {
        std::string text;
        for (std::size_t i = 0; i < columns; ++i) {
            const std::string cell = i < cells.size() ? cells[i] : "";
            text += (i ? " | " : "") + pad(cell, widths[i], align && numeric[i]);
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text + "\n";
    };
    std::string out;
    if (!header.empty()) {
        out += line(header, false);
        std::string rule;
        for (std::size_t i = 0; i < columns; ++i) rule += (i ? "-+-" : "") + std::string(widths[i], '-');
        out += rule + "\n";
    }
    for (const auto& row : rows) {
        std::vector<std::string> cells;
        for (const auto& cell : row) cells.push_back(cell.text);
        out += line(cells, true);
    }
    return out;
}

std::string text_of(const py::handle& value) {
    if (value.is_none()) return "";
    return py::str(value);
}

std::string entry(const py::dict& record, const char* key) {
    return record.contains(key) ? text_of(record[key]) : "";
}

py::list list_of(const py::dict& record, const char* key) {
    if (!record.contains(key)) return py::list();
    py::object value = record[key];
    if (py::isinstance<py::list>(value)) return value;
    py::list single;
    if (!value.is_none()) single.append(value);
    return single;
}

}  // namespace

std::string render_result(const py::object& result, const py::object& query, const std::string& dialect) {
    const std::string text = text_of(result);
    const std::size_t newline = text.find('\n');
    const std::string rows_text = text.substr(0, newline);
    auto rows = parse_rows(rows_text);
    if (!rows) return text + (text.empty() || text.back() == '\n' ? "" : "\n");
    std::string out = table(*rows, column_names(query, dialect, rows->front().size()));
    const std::size_t count = rows->size();
    out += "(" + std::to_string(count) + (count == 1 ? " row" : " rows") + ")\n";
    // The note that rows were left out, as the database handle wrote it.
    if (newline != std::string::npos) out += first_line(text.substr(newline + 1)) + "\n";
    return out;
}

std::string render_answer(const py::dict& record, const std::string& dialect) {
    std::string out = entry(record, zorvan::answer::output);
    if (out.empty() || out.back() != '\n') out += "\n";
    py::list queries = list_of(record, zorvan::answer::generated_query);
    py::list results = list_of(record, zorvan::answer::sql_execution_result);
    const std::size_t count = std::max(queries.size(), results.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::string number = std::to_string(i + 1);
        py::object query = i < queries.size() ? py::object(queries[i]) : py::object(py::none());
        if (!query.is_none()) out += "\nQuery " + number + ":\n" + indent(text_of(query), "  ");
        if (i < results.size()) {
            std::string rendered = render_result(results[i], query, dialect);
            if (!rendered.empty() && rendered.back() == '\n') rendered.pop_back();
            out += "Result " + number + ":\n" + indent(rendered, "  ");
        }
    }
    const std::string script = entry(record, zorvan::answer::python_code);
    if (!first_line(script).empty()) {
        std::string body = script;
        while (!body.empty() && body.back() == '\n') body.pop_back();
        out += "\nScript:\n" + indent(body, "  ");
    }
    const std::string chart = entry(record, zorvan::answer::image_path);
    if (!chart.empty()) out += "\nChart: " + chart + "\n";
    return out;
}

std::string render_schema(const py::object& schema) {
    py::dict tables = schema.cast<py::dict>();
    if (tables.empty()) return "(no tables)\n";
    std::string out;
    bool first = true;
    for (auto item : tables) {
        if (!first) out += "\n";
        first = false;
        out += text_of(item.first) + "\n";
        std::vector<std::pair<std::string, std::string>> columns;
        std::size_t width = 0;
        for (py::handle column : item.second) {
            std::string name = text_of(column["name"]);
            width = std::max(width, width_of(name));
            columns.emplace_back(std::move(name), text_of(column["type"]));
        }
        if (columns.empty()) out += "  (no columns)\n";
        for (const auto& [name, type] : columns) out += "  " + pad(name, width, false) + "  " + type + "\n";
    }
    return out;
}

std::string to_json(const py::object& value) {
    py::object builtins_str = zorvan::imported(zorvan::dep::builtins_str);
    std::string text = py::str(zorvan::imported(zorvan::dep::json_dumps)(
        value, py::arg("indent") = 2, py::arg("ensure_ascii") = false, py::arg("default") = builtins_str));
    return text + "\n";
}

}  // namespace zorvanai::cli
