// `zorvanai demo`: a first answer without a database of one's own. The demo
// shop database is made (or reused) in the working directory, and a sample
// question, or the one given, is asked of it with the configured model.
#include "cli.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

namespace {
constexpr const char* kSampleQuestion = "Which five products brought in the most revenue in 2025?";
}

int demo_command(const py::object& args, const Streams& streams) {
    // The model first: without one there is nothing to ask.
    py::object settings = load_settings(false);
    const std::string path = args.attr("db").is_none() ? std::string(kDemoFile) : std::string(py::str(args.attr("db")));
    py::object absolute = zorvan::imported(zorvan::dep::os_path_abspath)(path);
    const bool created = ensure_demo_database(py::str(absolute));
    settings.attr("engine") = py::str("SQLite");
    settings.attr("db_name") = absolute;

    std::string question = args.attr("question").is_none() ? "" : text_argument(args.attr("question"));
    if (first_line(question).empty()) question = kSampleQuestion;
    QuestionRequest request = question_request(args, settings, question);
    if (!request.quiet && !request.as_json) {
        write(streams.err, "demo database: " + std::string(py::str(absolute)) + (created ? " (created)" : "") +
                               "\nquestion: " + question + "\n");
    }
    return answer_question(request, streams);
}

}  // namespace zorvanai::cli
