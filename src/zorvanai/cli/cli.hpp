// The `zorvanai` console command: ask a question, list the schema, read and
// write the context store. Every failure ends as one line on standard error
// and an exit status; no traceback reaches the user.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>

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

struct DatabaseSettings {
    std::string engine;  // "PostgreSQL", "MySQL" or "MsSQL"
    std::string name;
    std::string user;
    std::string password;
    std::string host;
    long port = 0;
};

// Loads ./.env (or the nearest one above the working directory) into the
// environment without replacing variables that are already set.
void load_env_file();

// The database from ZORVAN_DB_*; CommandError(kExitUsage) names every
// missing or malformed variable.
DatabaseSettings database_settings();

// A variable that must be set and not empty.
std::string required_variable(const char* name, const char* meaning);

// ---- argument parsing (parser.cpp) -------------------------------------

py::object build_parser();

// ---- commands -----------------------------------------------------------

int ask_command(const py::object& args, const Streams& streams);
int schema_command(const py::object& args, const Streams& streams);
int context_command(const py::object& args, const Streams& streams);
int db_command(const py::object& args, const Streams& streams);

// ---- shared helpers (output.cpp) ----------------------------------------

// Writes text to a stream and flushes it.
void write(const py::object& stream, const std::string& text);

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
    ~ProgressScope();
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

private:
    py::object variable_;
    py::object token_;
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

// The schema record as an indented listing.
std::string render_schema(const py::object& schema);

// JSON text of a record (indented, non-ASCII kept, other values as text).
std::string to_json(const py::object& value);

}  // namespace zorvanai::cli
