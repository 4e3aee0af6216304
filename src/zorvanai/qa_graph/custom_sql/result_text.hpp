// The rows of one result as the text the model reads, within a row cap and
// a byte budget. Rows are rendered as they arrive, so that reading stops as
// soon as the budget is spent; what was left out is said at the end.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct RenderOptions {
    bool include_columns = false;
    long max_string_length = 0;  // text values longer than this are cut for display (0: not cut)
    long max_bytes = 0;          // budget of the whole text (0: none)
    long cap = 0;                // rows shown at most
    bool single = false;         // only the first row is wanted (nothing said about the rest)
};

// The longest value (in characters) the server sends for a column: longer
// ones are cut before they leave the server. `text_column`: values that the
// display cuts at max_string_length anyway.
long server_cut_length(const RenderOptions& options, bool text_column);

// Appended to a value that the server cut.
std::string cut_marker(long length);

struct FetchedRows {
    std::vector<std::string> columns;
    py::list rows;                    // tuples of values, at most the cap
    std::vector<std::string> pieces;  // each row as rendered
    long read = 0;                    // rows read from the server
    bool more = false;                // rows beyond those shown exist
    bool over_budget = false;         // reading stopped at the byte budget
    std::optional<long long> total;   // rows in the whole result, when counted in the same pass
};

class RowCollector {
public:
    RowCollector(RenderOptions options, std::vector<std::string> columns);

    // Takes the next row of the result; false when no more rows are wanted
    // (the cap or the budget is reached: the row itself may be one too many).
    bool add(const py::handle& row);

    bool wants_more() const { return wanting_; }
    FetchedRows& rows() { return fetched_; }

private:
    RenderOptions options_;
    FetchedRows fetched_;
    std::size_t bytes_ = 2;  // the brackets
    bool wanting_ = true;
};

// Python's str() of the rows (tuples, or dicts with include_columns), "" for
// none; a result with rows left out ends with a line that says so.
std::string render_rows(const FetchedRows& fetched, const RenderOptions& options);

// The rows as dicts of column name to value.
py::list rows_as_dicts(const FetchedRows& fetched);

// A SQLAlchemy Result over the rows (for fetch="cursor").
py::object rows_as_result(const FetchedRows& fetched);

}  // namespace zorvanai::custom_sql
