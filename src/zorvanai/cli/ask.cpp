#include <optional>

#include "cli.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

namespace {

constexpr const char* kAgentFailureLine = "An error occurred when running the agent: ";

std::string dialect_of(const std::string& engine) {
    if (engine == "PostgreSQL") return "postgres";
    if (engine == "MySQL") return "mysql";
    return "tsql";
}

bool matches(const py::error_already_set& error, const char* module, const char* name) {
    try {
        return error.matches(zorvan::import_attr(module, name));
    } catch (py::error_already_set&) {
        return false;
    }
}

std::string creation_failure(const py::error_already_set& error) {
    const std::string message = first_line(py::str(error.value()));
    if (matches(error, "zorvanai.api", "ConfigurationError")) return "configuration: " + message;
    if (matches(error, "zorvanai.api", "VendorServiceError")) return message;
    if (matches(error, "sqlalchemy.exc", "SQLAlchemyError")) return "cannot connect to the database: " + message;
    return "could not create the assistant: " + describe_error(error);
}

// The reason a run failed, from what the agent printed: its own line holds
// the error's text, the traceback's last line the text with the error type.
std::string run_failure(const std::string& printed) {
    const std::size_t at = printed.rfind(kAgentFailureLine);
    if (at == std::string::npos) return "the graph run failed";
    const std::string message = first_line(printed.substr(at + std::string(kAgentFailureLine).size()));
    std::string typed;
    std::size_t start = 0;
    while (start < at) {
        std::size_t end = printed.find('\n', start);
        if (end == std::string::npos || end > at) end = at;
        const std::string line = printed.substr(start, end - start);
        if (!line.empty() && line[0] != ' ' && line.size() >= message.size() &&
            line.compare(line.size() - message.size(), message.size(), message) == 0 &&
            line.rfind("Traceback", 0) != 0) {
            typed = line;
        }
        start = end + 1;
    }
    if (typed.empty()) return message;
    // "package.module.SomeError: text" reads better as "SomeError: text".
    const std::size_t colon = typed.find(": ");
    const std::size_t dot = typed.rfind('.', colon);
    if (colon != std::string::npos && dot != std::string::npos && typed.find(' ') > colon) {
        typed = typed.substr(dot + 1);
    }
    return typed;
}

bool is_error_record(const py::dict& record) {
    return record.size() == 1 && record.contains("output") &&
           py::str(record["output"]).equal(py::str("An error occurred"));
}

// The command's own log sink: warnings (such as an undelivered usage
// report) always, the libraries' info lines with --verbose.
void configure_logging(const py::object& stream, bool verbose) {
    py::object logger = zorvan::import_attr("loguru", "logger");
    logger.attr("remove")();
    logger.attr("add")(stream, py::arg("level") = verbose ? "INFO" : "WARNING",
                       py::arg("format") = "{level}: {message}");
}

struct FinishDisplay {
    std::shared_ptr<ProgressDisplay> display;
    ~FinishDisplay() {
        try {
            display->finish();
        } catch (py::error_already_set&) {
            // The terminal went away; nothing left to clear.
        }
    }
};

}  // namespace

int ask_command(const py::object& args, const Streams& streams) {
    const bool quiet = py::bool_(args.attr("quiet"));
    const bool as_json = py::bool_(args.attr("json"));
    const bool verbose = py::bool_(args.attr("verbose"));

    const std::string question = text_argument(args.attr("question"));
    if (first_line(question).empty()) throw CommandError("the question is empty", kExitUsage);
    const DatabaseSettings db = database_settings();
    required_variable("ZORVAN_API_URL", "the vendor service's base address");
    const std::string key = required_variable("ZORVAN_API_KEY", "your account key for the vendor service");
    std::string media = args.attr("media_dir").is_none() ? "" : std::string(py::str(args.attr("media_dir")));
    if (media.empty()) {
        py::object from_env = zorvan::import_attr("os", "environ").attr("get")("ZORVAN_MEDIA_DIR");
        media = from_env.is_none() ? "" : from_env.cast<std::string>();
    }
    if (media.empty()) media = "media";

    configure_logging(streams.err, verbose);
    py::object library_output = verbose ? streams.err : py::object(py::none());

    py::module_ agent;
    py::object graph;
    {
        DivertedOutput diverted(library_output);
        try {
            agent = py::module_::import("zorvanai.agent");
        } catch (py::error_already_set& error) {
            if (error.matches(PyExc_KeyboardInterrupt)) throw;
            throw CommandError("could not load the assistant: " + describe_error(error), kExitFailure);
        }
        try {
            graph = agent.attr("create_agent")(db.engine, db.name, db.user, db.password, db.host, db.port);
        } catch (py::error_already_set& error) {
            if (error.matches(PyExc_KeyboardInterrupt)) throw;
            throw CommandError(creation_failure(error), kExitFailure);
        }
    }
    if (graph.is_none()) {
        throw CommandError(
            "the vendor service did not supply both chat deployments (GPT-3.5 and GPT-4) with an endpoint",
            kExitFailure);
    }

    const bool show_progress = !quiet && !as_json;
    auto display = std::make_shared<ProgressDisplay>(streams.err, py::bool_(streams.err.attr("isatty")()));
    py::object result;
    std::string printed;
    {
        FinishDisplay finish{display};
        std::optional<ProgressScope> progress;
        if (show_progress) progress.emplace(py::module_::import("zorvanai.cli"), display);
        DivertedOutput diverted(library_output);
        try {
            result = agent.attr("run_agent")(graph, key, question, media);
        } catch (py::error_already_set& error) {
            if (error.matches(PyExc_KeyboardInterrupt)) throw;
            throw CommandError("the question could not be asked: " + describe_error(error), kExitFailure);
        }
        printed = diverted.text();
    }

    if (!PyDict_Check(result.ptr())) {
        throw CommandError("no answer was produced: " + first_line(py::str(result)), kExitFailure);
    }
    py::dict record = py::reinterpret_borrow<py::dict>(result);
    if (is_error_record(record)) {
        throw CommandError("the question could not be answered: " +
                               (verbose ? std::string("see the error above") : run_failure(printed)),
                           kExitFailure);
    }
    if (as_json) {
        write(streams.out, to_json(record));
    } else if (quiet) {
        std::string answer = record.contains("output") ? std::string(py::str(record["output"])) : "";
        write(streams.out, answer + (answer.empty() || answer.back() != '\n' ? "\n" : ""));
    } else {
        write(streams.out, render_answer(record, dialect_of(db.engine)));
    }
    return kExitOk;
}

}  // namespace zorvanai::cli
