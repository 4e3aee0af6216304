#include "cli.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/version.hpp"

namespace zorvanai::cli {

namespace {

constexpr const char* kDescription =
    R"(Ask questions of one relational database in plain words, list its tables, and keep
the context and instructions that shape the answers.)";

constexpr const char* kEnvironment =
    R"(environment (also read from a .env file in the working directory or above):
  ZORVAN_DB_ENGINE     PostgreSQL, MySQL, MsSQL or SQLite (any case; postgres, mariadb too)
  ZORVAN_DB_NAME       database name (for SQLite: the file)
  ZORVAN_DB_USER       user name
  ZORVAN_DB_PASSWORD   password (default: empty)
  ZORVAN_DB_HOST       host name or address
  ZORVAN_DB_PORT       port (default: 5432, 3306 or 1433 by engine)
  the chat model, one of:
    OPENAI_BASE_URL, OPENAI_API_KEY, ZORVAN_MODEL      OpenAI or a compatible server (Ollama, ...)
    AZURE_OPENAI_ENDPOINT, AZURE_OPENAI_API_KEY, ZORVAN_MODEL   Azure OpenAI
    ZORVAN_API_URL, ZORVAN_API_KEY                     the vendor service
  ZORVAN_MODEL_PROVIDER  vendor, azure or openai, when several are set
  ZORVAN_MEDIA_DIR     where charts are saved (default: ./media)
  ZORVAN_SANDBOX       on (default), strict or off: how analysis scripts are isolated

exit status: 0 done, 1 a service, the database or the question failed,
2 bad arguments or missing configuration, 130 interrupted.)";

void add_flag(py::object parser, const char* name, const char* help) {
    parser.attr("add_argument")(name, py::arg("action") = "store_true", py::arg("help") = help);
}

// How `ask` and `demo` show the answer.
void add_answer_options(py::object parser) {
    py::object mode = parser.attr("add_mutually_exclusive_group")();
    mode.attr("add_argument")("-q", "--quiet", py::arg("action") = "store_true",
                              py::arg("help") = "print only the answer, without progress");
    add_flag(mode, "--json", "print the answer record as JSON (with \"ok\" and \"usage\"), without progress");
    parser.attr("add_argument")("--media-dir", py::arg("metavar") = "DIR",
                                py::arg("help") = "where charts are saved (default: ZORVAN_MEDIA_DIR, else ./media)");
    parser.attr("add_argument")("-v", "--verbose", py::arg("action") = "store_true",
                                py::arg("help") = "also show what the libraries print and log (on standard error)");
}

void add_eval_parser(py::object commands, py::object raw) {
    py::object integer = zorvan::imported(zorvan::dep::builtins_int);
    py::object eval = commands.attr("add_parser")(
        "eval", py::arg("help") = "measure the answers on a question set with gold SQL (execution accuracy)",
        py::arg("description") =
            R"(Run a question set (Spider or BIRD JSON: "question", gold SQL in "query" or "SQL",
"db_id") through the whole graph with the configured model. A question matches when
the last query that ran gives the gold query's rows (in order only when the gold
query orders them; numbers within 1e-6, NULL equal to NULL). Shown: execution
accuracy, the share of questions with a query that ran and refused by the guard,
failures by stage, tokens, cost, time and whether the gold tables were offered
and picked. Ctrl-C keeps the finished questions in --out; --resume goes on.)",
        py::arg("epilog") = kEnvironment, py::arg("formatter_class") = raw);
    eval.attr("add_argument")("questions", py::arg("nargs") = "?", py::arg("metavar") = "QUESTIONS.json",
                              py::arg("help") = "the question set");
    py::object where = eval.attr("add_mutually_exclusive_group")();
    where.attr("add_argument")("--databases", py::arg("metavar") = "DIR",
                               py::arg("help") =
                                   "SQLite databases in Spider's layout, DIR/database/<db_id>/<db_id>.sqlite "
                                   "(default: the configured database, for a set over one database)");
    add_flag(where, "--demo", "ask the demo shop database (see `zorvanai demo`)");
    eval.attr("add_argument")("--out", py::arg("metavar") = "RESULTS.json",
                              py::arg("help") = "write {\"summary\", \"records\"} here, after every question");
    add_flag(eval, "--resume", "keep the finished questions of --out and run the others");
    eval.attr("add_argument")("--limit", py::arg("type") = integer, py::arg("metavar") = "N",
                              py::arg("help") = "only the first N questions (of the sample)");
    eval.attr("add_argument")("--sample", py::arg("type") = integer, py::arg("metavar") = "N",
                              py::arg("help") = "N questions drawn at random (in file order)");
    eval.attr("add_argument")("--seed", py::arg("type") = integer, py::arg("metavar") = "S",
                              py::arg("help") = "the seed of --sample (default: 0)");
    eval.attr("add_argument")("--concurrency", py::arg("type") = integer, py::arg("default") = 1,
                              py::arg("metavar") = "K", py::arg("help") = "questions run at once (default: 1)");
    eval.attr("add_argument")("--compare", py::arg("nargs") = 2,
                              py::arg("metavar") = py::make_tuple("A.json", "B.json"),
                              py::arg("help") = "show the questions whose outcome differs between two results files");
    add_flag(eval, "--shortlist-only",
             "only the recall at 10, 30 and 60 of the table shortlist over tables.json (no model, no database)");
    eval.attr("add_argument")(
        "--tables", py::arg("metavar") = "tables.json",
        py::arg("help") = "Spider's schema file for --shortlist-only (default: beside QUESTIONS)");
    add_flag(eval, "--merged", "with --shortlist-only: rank the tables of every database in one index");
    eval.attr("add_argument")("-v", "--verbose", py::arg("action") = "store_true",
                              py::arg("help") = "also show what the libraries print and log (on standard error)");
}

}  // namespace

py::object build_parser() {
    py::module_ argparse = zorvan::imported_module(zorvan::dep::argparse_module);
    py::object raw = argparse.attr("RawDescriptionHelpFormatter");
    py::object parser =
        argparse.attr("ArgumentParser")(py::arg("prog") = "zorvanai", py::arg("description") = kDescription,
                                        py::arg("epilog") = kEnvironment, py::arg("formatter_class") = raw);
    parser.attr("add_argument")("--version", py::arg("action") = "version",
                                py::arg("version") = std::string("zorvanai ") + zorvan::package_version());
    py::object commands = parser.attr("add_subparsers")(py::arg("dest") = "command", py::arg("required") = true,
                                                        py::arg("metavar") = "COMMAND", py::arg("title") = "commands");

    py::object ask = commands.attr("add_parser")(
        "ask", py::arg("help") = "ask one question of the database and print the answer",
        py::arg("description") =
            R"(Ask one question of the configured database. While it runs, the current step is shown
on standard error (one updating line on a terminal, one line per step otherwise).
Then the answer, each query with its result, the analysis script and the chart path
are printed.)",
        py::arg("epilog") = kEnvironment, py::arg("formatter_class") = raw);
    ask.attr("add_argument")("question", py::arg("help") = "the question, in plain words");
    add_answer_options(ask);

    py::object demo = commands.attr("add_parser")(
        "demo", py::arg("help") = "ask a question of a sample shop database (no database of your own needed)",
        py::arg("description") =
            R"(Create (or reuse) a small sample shop database in an SQLite file in the working
directory (customers, products, orders and order lines over 2024 and 2025) and ask
it a sample question, or the one given, with the configured chat model.)",
        py::arg("epilog") = kEnvironment, py::arg("formatter_class") = raw);
    demo.attr("add_argument")("question", py::arg("nargs") = "?",
                              py::arg("help") = "the question (default: a sample question)");
    demo.attr("add_argument")("--db", py::arg("metavar") = "FILE",
                              py::arg("help") = std::string("the demo database file (default: ./") + kDemoFile + ")");
    add_answer_options(demo);

    add_eval_parser(commands, raw);

    py::object schema =
        commands.attr("add_parser")("schema", py::arg("help") = "list the tables and their columns",
                                    py::arg("description") =
                                        R"(List the tables of the configured MySQL, PostgreSQL or SQLite database with
the name and type of every column.)",
                                    py::arg("epilog") = kEnvironment, py::arg("formatter_class") = raw);
    add_flag(schema, "--json", "print the schema record as JSON");

    py::object db = commands.attr("add_parser")("db", py::arg("help") = "database administration helpers",
                                                py::arg("description") = "Helpers for the database administrator.",
                                                py::arg("formatter_class") = raw);
    py::object db_actions = db.attr("add_subparsers")(py::arg("dest") = "action", py::arg("required") = true,
                                                      py::arg("metavar") = "ACTION", py::arg("title") = "actions");
    py::object grant = db_actions.attr("add_parser")(
        "grant-sql", py::arg("help") = "print the SQL that creates a SELECT-only login",
        py::arg("description") =
            R"(Print the SQL that creates a login which may only read the tables of one schema
(PostgreSQL, MySQL/MariaDB, SQL Server), for the administrator to run. Nothing is run
and no password is printed. Engine and database default to ZORVAN_DB_ENGINE and
ZORVAN_DB_NAME.)",
        py::arg("formatter_class") = raw);
    grant.attr("add_argument")("--engine", py::arg("help") = "PostgreSQL, MySQL or MsSQL");
    grant.attr("add_argument")("--database", py::arg("help") = "the database to read");
    grant.attr("add_argument")("--schema",
                               py::arg("help") = "the schema to read (default: public, dbo; MySQL: the database)");
    grant.attr("add_argument")("--role", py::arg("default") = "zorvan_reader",
                               py::arg("help") = "the login's name (default: zorvan_reader)");
    grant.attr("add_argument")("--host", py::arg("default") = "%",
                               py::arg("help") = "MySQL: the hosts the login may connect from (default: %%)");

    py::object sandbox = commands.attr("add_parser")(
        "sandbox", py::arg("help") = "report which isolation layers hold for analysis scripts on this machine",
        py::arg("description") =
            R"(Run an empty script in the sandbox and list each isolation layer (no_new_privs,
Landlock, seccomp, namespaces, limits) with whether it held and why. The exit status
is 0 when every layer holds, 1 when one is missing.)",
        py::arg("formatter_class") = raw);
    add_flag(sandbox, "--json", "print the layers as JSON");

    py::object context = commands.attr("add_parser")(
        "context", py::arg("help") = "show or change the context and instructions for answers",
        py::arg("description") =
            R"(Read and write the context text and the custom instructions kept in
context.json in the working directory. They shape every answer.)",
        py::arg("formatter_class") = raw);
    py::object actions = context.attr("add_subparsers")(py::arg("dest") = "action", py::arg("required") = true,
                                                        py::arg("metavar") = "ACTION", py::arg("title") = "actions");
    py::object show = actions.attr("add_parser")("show", py::arg("help") = "print the stored context and instructions");
    add_flag(show, "--json", "print the stored record as JSON");
    py::object set = actions.attr("add_parser")("set", py::arg("help") = "store the context text");
    set.attr("add_argument")("text", py::arg("help") = "the context text; - reads it from standard input");
    py::object instructions =
        actions.attr("add_parser")("instructions", py::arg("help") = "store the custom instructions");
    instructions.attr("add_argument")("text",
                                      py::arg("help") = "how answers should be presented; - reads standard input");
    return parser;
}

}  // namespace zorvanai::cli
