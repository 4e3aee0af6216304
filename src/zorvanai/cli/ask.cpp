#include <cctype>
#include <optional>

#include "cli.hpp"
#include "zorvan/errors.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

namespace {

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

std::string usage_line(const py::dict& details) {
    py::object tokens = details["total_tokens"];
    if (tokens.is_none()) return "";
    py::object cost = details["total_cost"];
    std::string text = "\nUsage: " + std::string(py::str(tokens)) + " tokens, cost ";
    if (py::isinstance<py::str>(cost)) return text + "unknown (a model without a price; see ZORVAN_MODEL_PRICES)\n";
    char figure[64];
    std::snprintf(figure, sizeof figure, "$%.6f", cost.cast<double>());
    return text + figure + "\n";
}

// The --json document: "ok", the answer record's keys and the usage.
py::dict json_document(bool ok, const std::string& reason, const py::object& record, const py::dict& details) {
    py::dict document;
    document["ok"] = py::bool_(ok);
    if (!ok) document["reason"] = py::str(reason);
    if (PyDict_Check(record.ptr())) {
        for (auto item : py::reinterpret_borrow<py::dict>(record)) document[item.first] = item.second;
    }
    if (!details["total_tokens"].is_none()) {
        py::dict usage;
        usage["total_tokens"] = details["total_tokens"];
        usage["total_cost"] = details["total_cost"];
        document["usage"] = usage;
    }
    return document;
}

// A failure before or around the run: in --json mode the document says so
// too, then the command ends with `status`.
[[noreturn]] void fail(const QuestionRequest& request, const Streams& streams, const std::string& reason, int status) {
    if (request.as_json)
        write(streams.out,
              to_json(json_document(false, reason, py::none(), py::dict(py::arg("total_tokens") = py::none()))));
    throw CommandError(reason, status);
}

}  // namespace

std::string creation_failure(const py::error_already_set& error) {
    const std::string message = first_line(py::str(error.value()));
    if (zorvan::is_error(error, zorvan::ErrorKind::Configuration)) return "configuration: " + message;
    if (zorvan::is_error(error, zorvan::ErrorKind::VendorService)) return message;
    if (error.matches(zorvan::imported(zorvan::dep::sqlalchemy_exc_SQLAlchemyError)) ||
        error.matches(PyExc_FileNotFoundError)) {
        return "cannot connect to the database: " + message;
    }
    if (error.matches(PyExc_KeyError) || error.matches(PyExc_AttributeError)) {
        return "the vendor service's deployment list is not usable: " + describe_error(error);
    }
    return "could not create the assistant: " + describe_error(error);
}

// The command's own log sinks: warnings (such as an undelivered usage
// report) always; with --verbose also the package's lines and the
// libraries' info lines.
void configure_logging(const py::object& stream, bool verbose) {
    py::object logger = zorvan::imported(zorvan::dep::loguru_logger);
    logger.attr("remove")();
    logger.attr("add")(stream, py::arg("level") = verbose ? "INFO" : "WARNING",
                       py::arg("format") = "{level}: {message}");
    py::module_ logging = zorvan::imported_module(zorvan::dep::logging_module);
    py::object package = logging.attr("getLogger")("zorvanai");
    // Warnings are labelled as loguru's are, so that they stand apart from
    // progress lines; the package's own lines (--verbose) show as printed.
    py::object warnings = logging.attr("StreamHandler")(stream);
    warnings.attr("setLevel")(logging.attr("WARNING"));
    warnings.attr("setFormatter")(logging.attr("Formatter")("%(levelname)s: %(message)s"));
    package.attr("addHandler")(warnings);
    if (verbose) {
        py::object lines = logging.attr("StreamHandler")(stream);
        const int warning_level = logging.attr("WARNING").cast<int>();
        lines.attr("addFilter")(py::cpp_function(
            [warning_level](py::object record) { return record.attr("levelno").cast<int>() < warning_level; }));
        lines.attr("setFormatter")(logging.attr("Formatter")("%(message)s"));
        package.attr("addHandler")(lines);
    }
    package.attr("setLevel")(verbose ? logging.attr("DEBUG") : logging.attr("WARNING"));
    package.attr("propagate") = false;
}

std::string dialect_of(const std::string& engine) {
    if (engine == "PostgreSQL") return "postgres";
    if (engine == "MySQL") return "mysql";
    if (engine == "SQLite") return "sqlite";
    return "tsql";
}

QuestionRequest question_request(const py::object& args, py::object settings, const std::string& question) {
    QuestionRequest request;
    request.settings = std::move(settings);
    request.question = question;
    request.quiet = py::bool_(args.attr("quiet"));
    request.as_json = py::bool_(args.attr("json"));
    request.verbose = py::bool_(args.attr("verbose"));
    request.media_dir = args.attr("media_dir").is_none() ? "" : std::string(py::str(args.attr("media_dir")));
    if (request.media_dir.empty()) request.media_dir = py::str(request.settings.attr("media_dir"));
    return request;
}

int answer_question(const QuestionRequest& request, const Streams& streams) {
    const py::object& settings = request.settings;
    const std::string engine = py::str(settings.attr("engine"));
    configure_logging(streams.err, request.verbose);
    // The lines the package prints go to its logger, shown with --verbose.
    py::object library_output = request.verbose ? streams.err : py::object(py::none());

    py::module_ agent;
    py::object graph;
    {
        DivertedOutput diverted(library_output);
        try {
            agent = zorvan::imported_module(zorvan::dep::zorvanai_agent_module);
        } catch (py::error_already_set& error) {
            if (error.matches(PyExc_KeyboardInterrupt)) throw;
            fail(request, streams, "could not load the assistant: " + describe_error(error), kExitFailure);
        }
        try {
            graph =
                agent.attr("create_agent")(settings.attr("engine"), settings.attr("db_name"), settings.attr("db_user"),
                                           settings.attr("db_password"), settings.attr("db_host"),
                                           settings.attr("db_port"), py::arg("quiet") = true);
        } catch (py::error_already_set& error) {
            if (error.matches(PyExc_KeyboardInterrupt)) throw;
            fail(request, streams, creation_failure(error), kExitFailure);
        }
    }
    if (graph.is_none()) {
        fail(request, streams,
             "the vendor service did not supply both chat deployments (GPT-3.5 and GPT-4) with an endpoint",
             kExitFailure);
    }

    const bool show_progress = !request.quiet && !request.as_json;
    auto display = std::make_shared<ProgressDisplay>(streams.err, py::bool_(streams.err.attr("isatty")()));
    py::dict details(py::arg("total_tokens") = py::none(), py::arg("total_cost") = py::none());
    py::object result = py::none();
    std::string reason;
    {
        FinishDisplay finish{display};
        std::optional<ProgressScope> progress;
        if (show_progress) progress.emplace(zorvan::imported_module(zorvan::dep::zorvanai_cli_module), display);
        DivertedOutput diverted(library_output);
        try {
            details =
                agent.attr("answer_question")(graph, settings.attr("api_key"), request.question, request.media_dir);
            result = details["answer"];
        } catch (py::error_already_set& error) {
            if (!zorvan::is_error(error, zorvan::ErrorKind::Package)) {
                if (error.matches(PyExc_KeyboardInterrupt)) throw;
                fail(request, streams, "the question could not be asked: " + describe_error(error), kExitFailure);
            }
            // The package's own failures say what went wrong; a question the
            // database refused still has the model's answer.
            reason = first_line(py::str(error.value()));
            // Said after "the question could not be answered: ".
            if (reason.size() > 1 && std::islower(static_cast<unsigned char>(reason[1]))) {
                reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
            }
            result = py::getattr(error.value(), "answer", py::none());
            for (const char* usage : {"total_tokens", "total_cost"}) {
                details[usage] = py::getattr(error.value(), usage, py::none());
            }
        }
    }
    const bool answered = reason.empty();
    const bool has_answer = PyDict_Check(result.ptr()) && py::dict(result).size() > 1;

    if (request.as_json) {
        write(streams.out, to_json(json_document(answered, reason, has_answer ? result : py::none(), details)));
    } else if (has_answer) {
        py::dict record = py::reinterpret_borrow<py::dict>(result);
        if (request.quiet) {
            std::string answer =
                record.contains(zorvan::answer::output) ? std::string(py::str(record[zorvan::answer::output])) : "";
            write(streams.out, answer + (answer.empty() || answer.back() != '\n' ? "\n" : ""));
        } else {
            write(streams.out, render_answer(record, dialect_of(engine)) + usage_line(details));
        }
    }
    // A report to the vendor still on its way is waited for, within its own limit.
    zorvan::imported(zorvan::dep::zorvanai_api_wait_for_usage_reports)();
    if (!answered) throw CommandError("the question could not be answered: " + reason, kExitFailure);
    return kExitOk;
}

int ask_command(const py::object& args, const Streams& streams) {
    const std::string question = text_argument(args.attr("question"));
    if (first_line(question).empty()) throw CommandError("the question is empty", kExitUsage);
    return answer_question(question_request(args, load_settings(true), question), streams);
}

}  // namespace zorvanai::cli
