// Execution accuracy's comparison: two results are the same when they hold
// the same rows, in the same order only when the gold query orders them.
// Values are normalised first, because two right queries can return the same
// figure as an integer, a float or a Decimal.
#include <algorithm>
#include <cmath>

#include "eval.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli::eval {

namespace {

constexpr double kTolerance = 1e-6;

Cell number(double value) {
    Cell cell;
    cell.kind = Cell::Kind::Number;
    cell.number = value;
    return cell;
}

Cell text(std::string value) {
    Cell cell;
    cell.kind = Cell::Kind::Text;
    cell.text = std::move(value);
    return cell;
}

// The classes a value is tested against, looked up once per result.
struct ValueClasses {
    py::object decimal = zorvan::imported(zorvan::dep::decimal_Decimal);
    py::object bytearray = zorvan::imported(zorvan::dep::builtins_bytearray);
    py::object memoryview = zorvan::imported(zorvan::dep::builtins_memoryview);
};

Cell cell_of(const py::handle& value, const ValueClasses& classes) {
    if (value.is_none()) return Cell{};
    if (py::isinstance<py::bool_>(value)) return number(value.cast<bool>() ? 1.0 : 0.0);
    if (py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)) return number(value.cast<double>());
    if (py::isinstance<py::str>(value)) return text(value.cast<std::string>());
    if (py::isinstance(value, classes.decimal)) {
        // float() of a Decimal NaN or infinity is the same special value.
        return number(py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>());
    }
    if (py::isinstance<py::bytes>(value) || py::isinstance(value, classes.bytearray) ||
        py::isinstance(value, classes.memoryview)) {
        return text(py::str(py::bytes(py::reinterpret_borrow<py::object>(value)).attr("hex")()));
    }
    // Dates, times and timestamps as their ISO text, so that a date column
    // and the same date as text agree; anything else as its text.
    if (py::hasattr(value, "isoformat")) return text(py::str(value.attr("isoformat")()));
    return text(py::str(value));
}

bool close(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    if (a == b) return true;  // infinities
    return std::fabs(a - b) <= kTolerance * std::max({1.0, std::fabs(a), std::fabs(b)});
}

bool same_cell(const Cell& a, const Cell& b) {
    if (a.kind != b.kind) return false;
    if (a.kind == Cell::Kind::Number) return close(a.number, b.number);
    return a.text == b.text;
}

// NULL first, then numbers, then texts; NaN after every other number.
bool cell_before(const Cell& a, const Cell& b) {
    if (a.kind != b.kind) return a.kind < b.kind;
    if (a.kind == Cell::Kind::Number) {
        if (std::isnan(a.number) || std::isnan(b.number)) return !std::isnan(a.number) && std::isnan(b.number);
        return a.number < b.number;
    }
    return a.text < b.text;
}

bool row_before(const Row& a, const Row& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), cell_before);
}

bool same_row(const Row& a, const Row& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_cell);
}

}  // namespace

std::vector<Row> normalised_rows(const py::handle& rows) {
    const ValueClasses classes;
    std::vector<Row> result;
    for (py::handle row : rows) {
        Row cells;
        for (py::handle value : row) cells.push_back(cell_of(value, classes));
        result.push_back(std::move(cells));
    }
    return result;
}

bool same_results(std::vector<Row> gold, std::vector<Row> predicted, bool ordered) {
    if (gold.size() != predicted.size()) return false;
    if (!ordered) {
        // Sorted, numbers within the tolerance land side by side.
        std::sort(gold.begin(), gold.end(), row_before);
        std::sort(predicted.begin(), predicted.end(), row_before);
    }
    return std::equal(gold.begin(), gold.end(), predicted.begin(), same_row);
}

}  // namespace zorvanai::cli::eval
