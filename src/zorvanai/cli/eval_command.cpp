// `zorvanai eval`: the command around the question runs. It picks the
// databases, runs the pending questions (one after another, or K at a time
// on threads that share each database's graph), keeps the results file
// up to date after every question so that Ctrl-C loses nothing finished,
// and shows the progress and the summary.
#include <map>
#include <memory>
#include <set>

#include "eval.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli::eval {

namespace {

constexpr double kRewriteSeconds = 1.0;
// How often the command checks for Ctrl-C while it waits for a result.
constexpr double kResultPollSeconds = 0.2;

std::optional<std::string> text_option(const py::object& args, const char* name) {
    py::object value = args.attr(name);
    if (value.is_none()) return std::nullopt;
    return py::str(value).cast<std::string>();
}

std::optional<long> count_option(const py::object& args, const char* name, const char* flag) {
    py::object value = args.attr(name);
    if (value.is_none()) return std::nullopt;
    const long count = value.cast<long>();
    if (count < 1) throw CommandError(std::string(flag) + " must be 1 or more", kExitUsage);
    return count;
}

// The assistant for one database, made quietly; its failures in words.
py::object create_graph(const py::object& settings) {
    DivertedOutput diverted{py::none()};
    py::object graph;
    try {
        graph = zorvan::imported(zorvan::dep::zorvanai_agent_create_agent)(
            settings.attr("engine"), settings.attr("db_name"), settings.attr("db_user"), settings.attr("db_password"),
            settings.attr("db_host"), settings.attr("db_port"), py::arg("quiet") = true);
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_KeyboardInterrupt)) throw;
        throw CommandError(creation_failure(error), kExitFailure);
    }
    if (graph.is_none()) {
        throw CommandError(
            "the vendor service did not supply both chat deployments (GPT-3.5 and GPT-4) with an endpoint",
            kExitFailure);
    }
    return graph;
}

// The model a run used, for the summary: the stronger one's name.
std::string model_name(const py::object& settings) {
    py::object models = py::getattr(settings, "models", py::none());
    py::object strong = models.is_none() ? py::object(py::none()) : py::getattr(models, "strong", py::none());
    for (const char* field : {"model", "azure_deployment"}) {
        py::object name = strong.is_none() ? py::object(py::none()) : py::getattr(strong, field, py::none());
        if (!name.is_none()) return py::str(name);
    }
    return "";
}

// The graph (and scoring handle) of every database the questions name.
std::map<std::string, Target> open_targets(const py::object& args, const std::vector<Question>& questions,
                                           py::object& settings) {
    const std::vector<std::string> ids = database_ids(questions);
    const std::optional<std::string> directory = text_option(args, "databases");
    const bool demo = py::bool_(args.attr("demo"));
    if (!directory && ids.size() > 1) {
        throw CommandError("the questions name " + std::to_string(ids.size()) +
                               " databases; give the directory that holds them with --databases DIR (Spider's "
                               "layout: DIR/database/<db_id>/<db_id>.sqlite)",
                           kExitUsage);
    }
    settings = load_settings(!directory && !demo);
    std::map<std::string, Target> targets;
    if (!directory) {
        if (demo) {
            py::object path = zorvan::imported(zorvan::dep::os_path_abspath)(kDemoFile);
            ensure_demo_database(py::str(path).cast<std::string>());
            settings.attr("engine") = py::str("SQLite");
            settings.attr("db_name") = path;
        }
        targets.emplace(ids.front(), open_target(ids.front(), create_graph(settings)));
        return targets;
    }
    std::vector<std::string> missing;
    std::map<std::string, std::string> files;
    for (const auto& id : ids) {
        files[id] = database_file(*directory, id);
        if (files[id].empty()) missing.push_back(id.empty() ? "(no db_id)" : id);
    }
    if (!missing.empty()) {
        std::string names;
        for (std::size_t i = 0; i < missing.size() && i < 10; ++i) names += (i ? ", " : "") + missing[i];
        if (missing.size() > 10) names += ", ...";
        throw CommandError("no SQLite file in " + *directory + " for " + std::to_string(missing.size()) +
                               " database(s): " + names +
                               " (looked for DIR/database/<db_id>/<db_id>.sqlite and DIR/<db_id>/<db_id>.sqlite)",
                           kExitUsage);
    }
    for (const auto& id : ids) {
        settings.attr("engine") = py::str("SQLite");
        settings.attr("db_name") = py::str(files[id]);
        targets.emplace(id, open_target(id, create_graph(settings)));
    }
    return targets;
}

// What the runs share; workers may outlive the command after Ctrl-C, so
// they hold it too. Touched only with the GIL held.
struct RunState {
    std::vector<Question> pending;
    std::map<std::string, Target> targets;
    py::object api_key;
    std::string media_dir;
    std::vector<std::optional<Record>> done;
    std::size_t next = 0;
    bool stop = false;
    bool abandoned = false;  // Ctrl-C again while runs were being stopped
};

// A temporary directory for the charts of the questions' scripts, removed
// when the run ends.
class MediaDirectory {
public:
    MediaDirectory()
        : path_(py::str(zorvan::imported(zorvan::dep::tempfile_mkdtemp)(py::arg("prefix") = "zorvan-eval-"))) {}
    ~MediaDirectory() {
        try {
            zorvan::imported(zorvan::dep::shutil_rmtree)(path_, py::arg("ignore_errors") = true);
        } catch (py::error_already_set&) {
            // Left behind in the temporary directory.
        }
    }
    MediaDirectory(const MediaDirectory&) = delete;
    MediaDirectory& operator=(const MediaDirectory&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Waits for the worker threads to end: one left running when the
// interpreter shuts down would be ended inside native code, which aborts
// the process. A further Ctrl-C stops waiting (see `abandoned`).
void join_workers(const py::list& threads, RunState& state) {
    for (py::handle thread : threads) {
        try {
            thread.attr("join")();
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_KeyboardInterrupt)) throw;
            state.abandoned = true;
            return;
        }
    }
}

// The next result of the workers. A Ctrl-C may reach one of their threads
// instead of this one, and then wakes nothing here; waiting in short slices
// and checking for it lets this thread act on it while the runs go on.
py::object next_result(const py::object& results) {
    py::object empty = zorvan::imported(zorvan::dep::queue_Empty);
    while (true) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        try {
            return results.attr("get")(py::arg("timeout") = kResultPollSeconds);
        } catch (py::error_already_set& error) {
            if (!error.matches(empty)) throw;
        }
    }
}

// Every result is in and the workers are ending: waits for them, and a
// Ctrl-C that came meanwhile still interrupts the command.
void finish_workers(const py::list& threads) {
    bool interrupted = false;
    for (py::handle thread : threads) {
        while (true) {
            try {
                thread.attr("join")();
                break;
            } catch (py::error_already_set& error) {
                if (!error.matches(PyExc_KeyboardInterrupt)) throw;
                interrupted = true;
            }
        }
    }
    if (interrupted) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
}

Record evaluate_pending(RunState& state, std::size_t position) {
    const Question& question = state.pending[position];
    return evaluate(question, state.targets.at(question.db_id), state.api_key, state.media_dir);
}

// Runs the pending questions `concurrency` at a time; `finished` is called
// on this thread for each record, in the order they finish.
template <typename Finished>
void run_concurrently(const std::shared_ptr<RunState>& state, long concurrency, Finished&& finished) {
    py::object results = zorvan::imported(zorvan::dep::queue_SimpleQueue)();
    py::cpp_function work([state, results]() {
        try {
            while (!state->stop && state->next < state->pending.size()) {
                const std::size_t position = state->next++;
                state->done[position] = evaluate_pending(*state, position);
                results.attr("put")(py::int_(position));
            }
        } catch (py::error_already_set& error) {
            if (error.matches(PyExc_KeyboardInterrupt)) return;  // the run was interrupted
            results.attr("put")(py::str(describe_error(error)));
        } catch (const std::exception& error) {
            results.attr("put")(py::str(error.what()));
        }
    });
    py::list threads;
    for (long n = 0; n < concurrency; ++n) {
        py::object thread = zorvan::imported(zorvan::dep::threading_Thread)(
            py::arg("target") = work, py::arg("name") = "zorvanai-eval-" + std::to_string(n), py::arg("daemon") = true);
        thread.attr("start")();
        threads.append(thread);
    }
    try {
        for (std::size_t received = 0; received < state->pending.size(); ++received) {
            py::object item = next_result(results);
            if (py::isinstance<py::str>(item))
                throw CommandError("a question run failed: " + item.cast<std::string>(), kExitFailure);
            finished(*state->done[item.cast<std::size_t>()]);
        }
    } catch (...) {
        // The others stop at their next step: no new question, and the
        // interrupt raised in each where it runs.
        state->stop = true;
        for (py::handle thread : threads) {
            py::object ident = thread.attr("ident");
            if (!ident.is_none() && py::bool_(thread.attr("is_alive")()))
                PyThreadState_SetAsyncExc(ident.cast<unsigned long>(), PyExc_KeyboardInterrupt);
        }
        join_workers(threads, *state);
        throw;
    }
    finish_workers(threads);
}

std::string tables_file(const py::object& args, const std::string& questions_file) {
    if (auto given = text_option(args, "tables")) return *given;
    py::object path = zorvan::imported_module(zorvan::dep::os_path_module);
    std::vector<std::string> places{py::str(path.attr("dirname")(path.attr("abspath")(questions_file)))};
    if (auto directory = text_option(args, "databases")) places.push_back(*directory);
    for (const auto& place : places) {
        py::object candidate = path.attr("join")(place, "tables.json");
        if (py::bool_(path.attr("isfile")(candidate))) return py::str(candidate);
    }
    throw CommandError("--shortlist-only needs the schemas: give Spider's tables.json with --tables FILE", kExitUsage);
}

}  // namespace

}  // namespace zorvanai::cli::eval

namespace zorvanai::cli {

int eval_command(const py::object& args, const Streams& streams) {
    using namespace eval;
    if (!args.attr("compare").is_none()) {
        py::list paths = args.attr("compare");
        write(streams.out, render_comparison(py::str(paths[0]), py::str(paths[1])));
        return kExitOk;
    }
    const std::optional<std::string> questions_file = text_option(args, "questions");
    if (!questions_file) throw CommandError("name the question set: zorvanai eval QUESTIONS.json", kExitUsage);
    const std::optional<std::string> out = text_option(args, "out");
    const bool resume = py::bool_(args.attr("resume"));
    if (resume && !out) throw CommandError("--resume continues the results file named by --out", kExitUsage);
    const std::optional<long> sample = count_option(args, "sample", "--sample");
    if (!sample && !args.attr("seed").is_none()) throw CommandError("--seed goes with --sample N", kExitUsage);
    const long seed = args.attr("seed").is_none() ? 0 : args.attr("seed").cast<long>();
    const long concurrency = count_option(args, "concurrency", "--concurrency").value_or(1);
    std::vector<Question> selected =
        select_questions(load_questions(*questions_file), sample, seed, count_option(args, "limit", "--limit"));

    if (py::bool_(args.attr("shortlist_only"))) {
        write(streams.out,
              shortlist_report(selected, tables_file(args, *questions_file), py::bool_(args.attr("merged")), "sqlite"));
        return kExitOk;
    }

    configure_logging(streams.err, py::bool_(args.attr("verbose")));
    py::object settings;
    auto state = std::make_shared<RunState>();
    state->targets = open_targets(args, selected, settings);
    state->api_key = settings.attr("api_key");
    RunInfo info;
    info.questions_file = *questions_file;
    info.model = model_name(settings);
    info.provider = py::str(py::getattr(py::getattr(settings, "models", py::none()), "provider", py::str("")));
    info.selected = selected.size();

    // Finished records of an earlier run of the same selection are kept.
    std::map<long, Record> records;
    if (resume) {
        std::map<long, const Question*> by_index;
        for (const auto& question : selected) by_index[question.index] = &question;
        for (auto& record : read_results(*out)) {
            auto found = by_index.find(record.index);
            if (found != by_index.end() && found->second->question == record.question)
                records.emplace(record.index, std::move(record));
        }
    }
    for (const auto& question : selected)
        if (records.count(question.index) == 0) state->pending.push_back(question);
    state->done.resize(state->pending.size());

    std::size_t matched = 0;
    for (const auto& [index, record] : records) matched += record.match;
    RunProgress progress(streams.err, py::bool_(streams.err.attr("isatty")()), selected.size(), records.size(),
                         matched);
    auto ordered = [&records] {
        std::vector<Record> list;
        for (const auto& [index, record] : records) list.push_back(record);
        return list;
    };
    // The results file is rewritten after a question at most once a second
    // (a long run would otherwise spend its time rewriting it), and always
    // at the end and on Ctrl-C.
    py::object clock = zorvan::imported(zorvan::dep::time_monotonic);
    double written_at = -kRewriteSeconds;
    auto save = [&](bool interrupted) {
        info.interrupted = interrupted;
        if (!out) return;
        const std::vector<Record> list = ordered();
        write_results(*out, summary_of(list, info), list);
        written_at = clock().cast<double>();
    };
    auto finished = [&](const Record& record) {
        records[record.index] = record;
        if (clock().cast<double>() - written_at >= kRewriteSeconds) save(false);
        progress.finished(record);
    };

    MediaDirectory media;
    state->media_dir = media.path();
    try {
        DivertedOutput diverted(py::bool_(args.attr("verbose")) ? streams.err : py::object(py::none()));
        if (concurrency == 1) {
            for (std::size_t position = 0; position < state->pending.size(); ++position)
                finished(evaluate_pending(*state, position));
        } else {
            run_concurrently(state, concurrency, finished);
        }
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_KeyboardInterrupt)) throw;
        progress.clear();
        save(true);
        write(streams.out, render_report(summary_of(ordered(), info), ordered()));
        write(streams.err, "\nzorvanai: interrupted; " + std::to_string(records.size()) + " of " +
                               std::to_string(selected.size()) + " questions are done" +
                               (out ? " and kept in " + *out + " (continue with --resume)" : "") + "\n");
        if (state->abandoned) {
            // Runs still inside a model or database call cannot be ended from
            // here; the process ends without waiting for them.
            zorvan::imported(zorvan::dep::os__exit)(kExitInterrupted);
        }
        return kExitInterrupted;
    }
    progress.clear();
    save(false);
    write(streams.out, render_report(summary_of(ordered(), info), ordered()));
    zorvan::imported(zorvan::dep::zorvanai_api_wait_for_usage_reports)();
    return kExitOk;
}

}  // namespace zorvanai::cli
