#include <pybind11/pybind11.h>

#include "cli.hpp"
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
    py::module_ sys = py::module_::import("sys");
    const cli::Streams streams{sys.attr("stdout"), sys.attr("stderr")};
    try {
        cli::load_env_file();
        py::object args = cli::build_parser().attr("parse_args")(argv);
        const std::string command = py::str(args.attr("command"));
        if (command == "ask") return cli::ask_command(args, streams);
        if (command == "schema") return cli::schema_command(args, streams);
        if (command == "db") return cli::db_command(args, streams);
        return cli::context_command(args, streams);
    } catch (const cli::CommandError& error) {
        cli::write(streams.err, std::string("zorvanai: ") + error.what() + "\n");
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
        "The zorvanai console command.\n\n"
        "    zorvanai ask \"Which five products sold best?\"    # answer, queries, results, script, chart\n"
        "    zorvanai ask --json \"How many orders?\"           # the answer record as JSON\n"
        "    zorvanai schema                                   # tables and columns\n"
        "    zorvanai context show | set TEXT | instructions TEXT\n"
        "    zorvanai db grant-sql                             # SQL for a SELECT-only login\n\n"
        "The database and the vendor service come from the environment or a .env file:\n"
        "ZORVAN_DB_ENGINE, ZORVAN_DB_NAME, ZORVAN_DB_USER, ZORVAN_DB_PASSWORD, ZORVAN_DB_HOST,\n"
        "ZORVAN_DB_PORT, ZORVAN_API_URL, ZORVAN_API_KEY and ZORVAN_MEDIA_DIR (see\n"
        "``zorvanai --help``).";
    zorvan::def(
        m, "main", "(argv=None)",
        "Run the zorvanai command and return its exit status.\n\n"
        "The console script ``zorvanai`` calls ``sys.exit(main())``. Failures are reported\n"
        "as one line on standard error, never as a traceback. The ask command sets up\n"
        "the loguru logger of the process for its own output (warnings; info lines\n"
        "with --verbose).\n\n"
        "Args:\n    argv: the arguments after the program name; None takes sys.argv[1:].\n\n"
        "Returns:\n    0 when the command succeeded, 1 when a service, the database or the\n"
        "    question failed, 2 for bad arguments or missing configuration, 130 when\n"
        "    interrupted.",
        [](py::object argv) { return run(argv); }, py::arg("argv") = py::none());
}
