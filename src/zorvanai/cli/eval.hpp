// `zorvanai eval`: a question set with gold SQL run through the whole graph
// with the configured model, scored by execution accuracy (the gold query
// and the last query the graph ran give the same rows), with what each
// question cost and where the others failed.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli.hpp"

namespace zorvanai::cli::eval {

// Why a question was not matched (a record's "stage"); none when it was.
namespace stage {
inline constexpr const char* no_query = "no_query";              // no query was executed
inline constexpr const char* refused = "refused";                // the last query was refused by the guard
inline constexpr const char* database_error = "database_error";  // the last query failed on the database
inline constexpr const char* time_limit = "time_limit";          // the last query ran out of time
inline constexpr const char* model_error = "model_error";        // a model call failed after its retries
inline constexpr const char* wrong_result = "wrong_result";      // a query ran, its rows differ from the gold's
inline constexpr const char* gold_error = "gold_error";          // the gold query itself failed
inline constexpr const char* too_large = "too_large";            // a result too large to compare
inline constexpr const char* error = "error";                    // any other failure of the run
}  // namespace stage

// ---- the question set (eval_questions.cpp) -------------------------------

struct Question {
    long index = 0;  // position in the question file
    std::string question;
    std::string evidence;  // BIRD's hint, asked together with the question
    std::string db_id;
    std::string gold;
    std::string asked() const;
};

// The value of a JSON file; one that cannot be read or is not JSON is a
// usage error naming `what` it should have held.
py::object read_json_file(const std::string& path, const std::string& what);

// Spider/BIRD-format JSON: a list of {"question", "query" or "SQL", "db_id"}.
std::vector<Question> load_questions(const std::string& path);

// `sample` questions drawn with `seed` (in file order), then the first `limit`.
std::vector<Question> select_questions(std::vector<Question> questions, std::optional<long> sample, long seed,
                                       std::optional<long> limit);

// The distinct db_ids, in order of first appearance.
std::vector<std::string> database_ids(const std::vector<Question>& questions);

// The SQLite file of `db_id` in a directory in Spider's layout (DIR/database/
// <db_id>/<db_id>.sqlite or DIR/<db_id>/<db_id>.sqlite); empty when absent.
std::string database_file(const std::string& directory, const std::string& db_id);

// ---- comparing results (eval_match.cpp) ----------------------------------

struct Cell {
    enum class Kind { Null, Number, Text } kind = Kind::Null;
    double number = 0.0;
    std::string text;
};
using Row = std::vector<Cell>;

// Rows as the database gave them, with values normalised: every numeric
// type is a number, dates and times their ISO text, NULL is NULL.
std::vector<Row> normalised_rows(const py::handle& rows);

// Equal as multisets of rows, or as sequences when `ordered`; numbers equal
// within 1e-6 (relative, absolute below 1), NULL equal to NULL.
bool same_results(std::vector<Row> gold, std::vector<Row> predicted, bool ordered);

// ---- one question (eval_run.cpp) ------------------------------------------

struct Record {
    long index = 0;
    std::string question;
    std::string db_id;
    std::string gold;
    std::optional<std::string> predicted;  // the last query that ran
    bool match = false;
    std::optional<std::string> stage;   // none when matched
    std::optional<std::string> reason;  // what went wrong, in words
    long attempts = 0;                  // query executions in the graph
    long prompt_tokens = 0;
    long completion_tokens = 0;
    std::optional<double> cost;  // none when a model has no price
    double seconds = 0.0;
    std::vector<std::string> gold_tables;
    std::vector<std::string> picked_tables;
    std::optional<bool> shortlist_hit;  // every gold table was offered to the model
    std::optional<bool> picked_hit;     // every gold table was picked
};

py::dict record_to_json(const Record& record);
Record record_from_json(const py::handle& value);

// One database the questions are asked of: its graph, and a second handle
// on the same engine that reads whole results for scoring.
struct Target {
    std::string db_id;
    py::object graph;
    py::object scoring;
    std::string dialect;  // sqlglot's name
    std::vector<std::string> tables;
};

Target open_target(const std::string& db_id, py::object graph);

// What scoring needs to know of a gold query, from one parse: the tables it
// reads (lower case, its own WITH names left out) and whether it orders its
// rows at the top level. `parsed` is false when the parser refused it.
struct QueryShape {
    bool parsed = false;
    std::vector<std::string> tables;
    bool ordered = false;
};
QueryShape query_shape(const std::string& query, const std::string& dialect);

// `wanted` (lower-case names) spelled as in `tables`, where each name is
// `prefix` + a table name; empty when one of them is not there.
std::vector<std::string> spelled_as_in(const std::vector<std::string>& wanted, const std::vector<std::string>& tables,
                                       const std::string& prefix = "");

// Runs one question through the graph and scores it; a failing question is
// recorded, never raised (KeyboardInterrupt is).
Record evaluate(const Question& question, const Target& target, const py::object& api_key,
                const std::string& media_dir);

// ---- summary, report and comparison (eval_report.cpp) ---------------------

struct RunInfo {
    std::string questions_file;
    std::string model;
    std::string provider;
    std::size_t selected = 0;
    bool interrupted = false;
};

// The first line of `text`, cut to `width` characters with "..." when longer.
std::string clipped(const std::string& text, std::size_t width);

// One line of a summary table: the label in a column, then the value.
std::string table_row(const std::string& label, const std::string& value);

py::dict summary_of(const std::vector<Record>& records, const RunInfo& info);

// The summary table and the questions that were not matched.
std::string render_report(const py::dict& summary, const std::vector<Record>& records);

// {"summary": ..., "records": [...]} written atomically to `path`.
void write_results(const std::string& path, const py::dict& summary, const std::vector<Record>& records);

// The records of a results file (an absent file has none).
std::vector<Record> read_results(const std::string& path);

// The questions whose outcome differs between two results files.
std::string render_comparison(const std::string& path_a, const std::string& path_b);

// ---- progress (eval_progress.cpp) ------------------------------------------

// The run's progress on standard error: one updating line with the running
// accuracy and the time left on a terminal, one line per question otherwise.
class RunProgress {
public:
    RunProgress(py::object stream, bool terminal, std::size_t total, std::size_t done, std::size_t matched);
    void finished(const Record& record);
    void clear();

private:
    py::object stream_;
    bool terminal_;
    std::size_t total_;
    std::size_t done_;
    std::size_t matched_;
    std::size_t done_here_ = 0;
    double started_;
};

// ---- the table shortlist alone (eval_shortlist.cpp) -----------------------

// Recall at 10, 30 and 60 of the ranker's shortlist over a Spider tables.json
// file; `merged` ranks the tables of every database in one index.
std::string shortlist_report(const std::vector<Question>& questions, const std::string& tables_file, bool merged,
                             const std::string& dialect);

}  // namespace zorvanai::cli::eval
