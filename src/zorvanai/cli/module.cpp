#include <pybind11/pybind11.h>

#include "cli.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace cli = zorvanai::cli;

namespace {

int exit_status(const py::error_already_set& error, const cli::Streams& streams) {
    py::object code = error.value().attr("code");
    if (code.is_none()) return cli::kExitOk;
    if (py::isinstance<py::int_>(code)) return code.cast<int>();
    cli::write(streams.err, std::string(py::str(code)) + "\n");
    return cli::kExitFailure;
}

int run(py::object argv) {
    py::module_ sys = zorvan::imported_module(zorvan::dep::sys_module);
    const cli::Streams streams{sys.attr("stdout"), sys.attr("stderr")};
    try {
        cli::load_env_file();
        py::object args = cli::build_parser().attr("parse_args")(argv);
        const std::string command = py::str(args.attr("command"));
        if (command == "ask") return cli::ask_command(args, streams);
        if (command == "demo") return cli::demo_command(args, streams);
        if (command == "schema") return cli::schema_command(args, streams);
        if (command == "db") return cli::db_command(args, streams);
        if (command == "sandbox") return cli::sandbox_command(args, streams);
        if (command == "eval") return cli::eval_command(args, streams);
        return cli::context_command(args, streams);
    } catch (const cli::CommandError& error) {
        cli::write(streams.err, cli::error_lines(error.what()));
        return error.status();
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_SystemExit)) return exit_status(error, streams);
        if (error.matches(PyExc_KeyboardInterrupt)) {
            cli::write(streams.err, "\nzorvanai: interrupted\n");
            return cli::kExitInterrupted;
        }
        cli::write(streams.err, "zorvanai: " + cli::describe_error(error) + "\n");
        return cli::kExitFailure;
    } catch (const std::exception& error) {
        // A conversion that failed inside the command itself.
        cli::write(streams.err, std::string("zorvanai: internal error: ") + error.what() + "\n");
        return cli::kExitFailure;
    }
}

}  // namespace

PYBIND11_MODULE(cli, m) {
    m.doc() =
        R"(The zorvanai console command.

    zorvanai ask "Which five products sold best?"    # answer, queries, results, script, chart
    zorvanai ask --json "How many orders?"           # the answer record as JSON
    zorvanai demo                                     # a sample question of a sample shop
    zorvanai schema                                   # tables and columns
    zorvanai eval QUESTIONS.json --out results.json  # execution accuracy on a question set
    zorvanai context show | set TEXT | instructions TEXT
    zorvanai db grant-sql                             # SQL for a SELECT-only login
    zorvanai sandbox                                  # which isolation layers hold for scripts

The database and the chat model come from the environment or a .env file:
ZORVAN_DB_ENGINE, ZORVAN_DB_NAME, ZORVAN_DB_USER, ZORVAN_DB_PASSWORD, ZORVAN_DB_HOST,
ZORVAN_DB_PORT; OPENAI_BASE_URL / OPENAI_API_KEY, AZURE_OPENAI_ENDPOINT /
AZURE_OPENAI_API_KEY or ZORVAN_API_URL / ZORVAN_API_KEY with ZORVAN_MODEL; and
ZORVAN_MEDIA_DIR (see ``zorvanai --help``).)";
    zorvan::def(
        m, "main", "(argv=None)",
        R"(Run the zorvanai command and return its exit status.

The console script ``zorvanai`` calls ``sys.exit(main())``. Failures are reported
as "zorvanai: ..." lines on standard error, never as a traceback. The ask and demo
commands turn the package's quiet switch on and set up the loguru logger and the
logger "zorvanai" of the process for their own output (warnings; every line with
--verbose).

Args:
    argv: the arguments after the program name; None takes sys.argv[1:].

Returns:
    0 when the command succeeded, 1 when a service, the database or the
    question failed (or could not be answered), 2 for bad arguments or missing
    configuration, 130 when interrupted.)",
        [](py::object argv) { return run(argv); }, py::arg("argv") = py::none());
    zorvan::def(
        m, "demo_database", "(path='zorvan_demo.db')",
        R"(Create the demo shop database, or reuse it when it is already there.

The same SQLite file on every machine: 240 customers, 40 products in 9 categories,
and orders with their lines on every day of 2024 and 2025 (spring and December are
busy, prices rose 5% in 2025, November has a sale).

Args:
    path: the file to create or reuse.

Returns:
    The file's absolute path.

Raises:
    RuntimeError: a file at path that is not the demo database (it is left as it is).)",
        [](py::object path) {
            py::object absolute = zorvan::imported_module(zorvan::dep::os_path_module).attr("abspath")(path);
            try {
                cli::ensure_demo_database(py::str(absolute));
            } catch (const cli::CommandError& error) {
                throw std::runtime_error(error.what());
            }
            return absolute;
        },
        py::arg("path") = "zorvan_demo.db");
}
