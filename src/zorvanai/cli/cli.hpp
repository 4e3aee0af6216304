// The `zorvanai` console command: ask a question, try the demo database,
// list the schema, read and write the context store. Every failure ends as
// "zorvanai: ..." lines on standard error and an exit status; no traceback
// reaches the user.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {
namespace py = pybind11;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a service, the database or the question failed
constexpr int kExitUsage = 2;    // bad arguments or missing configuration (argparse uses 2 too)
constexpr int kExitInterrupted = 130;

// A failure reported as "zorvanai: <message>" with the given exit status.
class CommandError : public std::runtime_error {
public:
    CommandError(const std::string& message, int status) : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// The real standard streams, taken when the command starts: library output
// is diverted while the command runs, the command's own output is not.
struct Streams {
    py::object out;
    py::object err;
};

// ---- configuration (settings.cpp) -------------------------------------

// Loads ./.env (or the nearest one above the working directory) into the
// environment without replacing variables that are already set.
void load_env_file();

// zorvanai.settings.load_settings(database, models); its ConfigurationError
// becomes CommandError(kExitUsage) with one line per problem.
py::object load_settings(bool database, bool models = true);

// ---- answering a question (ask.cpp) -------------------------------------

// What a command asks and how it shows the answer.
struct QuestionRequest {
    py::object settings;  // the zorvanai.settings.Settings record
    std::string question;
    std::string media_dir;
    bool quiet = false;    // only the answer
    bool as_json = false;  // the answer record as JSON
    bool verbose = false;  // the libraries' lines on standard error
};

// The question's options shared by `ask` and `demo`.
QuestionRequest question_request(const py::object& args, py::object settings, const std::string& question);

// Why the assistant could not be created, for the user.
std::string creation_failure(const py::error_already_set& error);

// The command's own log sinks: warnings (such as an undelivered usage
// report) always; with `verbose` also the package's lines and the
// libraries' info lines.
void configure_logging(const py::object& stream, bool verbose);

// Creates the assistant, asks, prints the answer; 0 when answered.
int answer_question(const QuestionRequest& request, const Streams& streams);

// ---- argument parsing (parser.cpp) -------------------------------------

py::object build_parser();

// ---- commands -----------------------------------------------------------

int ask_command(const py::object& args, const Streams& streams);
int demo_command(const py::object& args, const Streams& streams);
int schema_command(const py::object& args, const Streams& streams);
int context_command(const py::object& args, const Streams& streams);
int db_command(const py::object& args, const Streams& streams);
int sandbox_command(const py::object& args, const Streams& streams);
int eval_command(const py::object& args, const Streams& streams);

// ---- shared helpers (output.cpp) ----------------------------------------

// Writes text to a stream and flushes it.
void write(const py::object& stream, const std::string& text);

// A failure's text as "zorvanai: " lines; lines of a list (indented) are kept
// as they are under the first.
std::string error_lines(const std::string& message);

// The first line of an error's text, with its type: "OperationalError: ...".
// A failed module initialisation is described by the error that caused it.
std::string describe_error(const py::error_already_set& error);

// The error behind a failed module initialisation, else `error` itself.
py::object root_error(py::object error);

// The first non-empty line of a text, trimmed.
std::string first_line(const std::string& text);

// Diverts sys.stdout and sys.stderr to `target` (None: a private buffer) for
// its lifetime, so that what the libraries print stays out of the command's
// output; the buffer's text stays readable.
class DivertedOutput {
public:
    explicit DivertedOutput(py::object target);
    ~DivertedOutput();
    DivertedOutput(const DivertedOutput&) = delete;
    DivertedOutput& operator=(const DivertedOutput&) = delete;

    std::string text() const;

private:
    py::object sys_;
    py::object saved_out_;
    py::object saved_err_;
    py::object buffer_;  // None when diverted to a caller's stream
};

// Reads `text`, or standard input when it is "-".
std::string text_argument(const py::object& text);

// ---- the demo database (demo_data.cpp) ----------------------------------

// The file name of the demo database in the working directory.
inline constexpr const char* kDemoFile = "zorvan_demo.db";

// Creates the demo shop database at `path` (deterministic: the same file
// every time), or reuses it when it is already there. Returns true when it
// was created. Refuses a file at `path` that is not the demo database.
bool ensure_demo_database(const std::string& path);

// ---- progress (progress.cpp) --------------------------------------------

// Shows which step of the question-answering graph is running: one updating
// line on a terminal, one plain line per step otherwise.
class ProgressDisplay {
public:
    ProgressDisplay(py::object stream, bool terminal);
    void node_started(const std::string& node, const py::object& inputs);
    // Clears the updating line (terminal) so that the answer starts clean.
    void finish();

private:
    py::object stream_;
    bool terminal_;
    double started_;
    bool line_open_ = false;
};

// Replaces the current terminal line with `text`, cut to the terminal's width.
void rewrite_line(const py::object& stream, std::string text);
inline constexpr const char* kClearLine = "\r\x1b[K";

// The step and its detail for one graph node; empty step for nodes that are
// not shown.
struct StepLabel {
    std::string step;
    std::string detail;
};
StepLabel step_of(const std::string& node, const py::object& inputs);

// While alive, every LangChain run started on this thread's context (and the
// runs it starts) reports node starts to `display`. Uses an inheritable
// configure hook, the mechanism of LangChain's own usage meter.
class ProgressScope {
public:
    ProgressScope(py::module_ cli_module, std::shared_ptr<ProgressDisplay> display);

private:
    std::optional<zorvan::HookScope> hook_;
};

// Registers the progress hook and its handler class on the module (done by
// the first ProgressScope).
void add_progress_support(py::module_& m);

// ---- rendering (render.cpp) ---------------------------------------------

// The answer record as text: answer, queries with result tables, script,
// chart. `dialect` is the sqlglot dialect used to name result columns.
std::string render_answer(const py::dict& record, const std::string& dialect);

// One execution result (the rows' text, or an error text) as a table when
// it holds rows.
std::string render_result(const py::object& result, const py::object& query, const std::string& dialect);

// The sqlglot dialect of an engine name ("PostgreSQL" -> "postgres").
std::string dialect_of(const std::string& engine);

// The schema record as an indented listing.
std::string render_schema(const py::object& schema);

// JSON text of a record (indented, non-ASCII kept, other values as text).
std::string to_json(const py::object& value);

}  // namespace zorvanai::cli
