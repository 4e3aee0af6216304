// The question set: Spider's or BIRD's JSON, read into questions with their
// gold SQL and database, and the selection a run asks.
#include <algorithm>
#include <set>

#include "eval.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli::eval {

namespace {

std::string text_field(const py::dict& item, const char* key) {
    if (!item.contains(key) || item[key].is_none()) return "";
    py::object value = item[key];
    if (!py::isinstance<py::str>(value)) return py::str(value);
    return value.cast<std::string>();
}

}  // namespace

py::object read_json_file(const std::string& path, const std::string& what) {
    try {
        py::object text =
            zorvan::imported(zorvan::dep::pathlib_Path)(path).attr("read_text")(py::arg("encoding") = "utf-8");
        return zorvan::imported(zorvan::dep::json_loads)(text);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_OSError) && !error.matches(PyExc_ValueError)) throw;
        throw CommandError("cannot read " + what + " " + path + ": " + describe_error(error), kExitUsage);
    }
}

std::string Question::asked() const {
    return evidence.empty() ? question : question + "\nHint: " + evidence;
}

std::vector<Question> load_questions(const std::string& path) {
    py::object data = read_json_file(path, "the question set");
    if (!PyList_Check(data.ptr())) {
        throw CommandError(path +
                               " is not a question set: expected a JSON list of {\"question\", \"query\" (or "
                               "\"SQL\"), \"db_id\"} records",
                           kExitUsage);
    }
    std::vector<Question> questions;
    long index = 0;
    for (py::handle item : data) {
        if (!PyDict_Check(item.ptr())) {
            throw CommandError(path + ": record " + std::to_string(index) + " is not a JSON object", kExitUsage);
        }
        py::dict record = py::reinterpret_borrow<py::dict>(item);
        Question question;
        question.index = index;
        question.question = text_field(record, "question");
        question.evidence = text_field(record, "evidence");
        question.db_id = text_field(record, "db_id");
        question.gold = text_field(record, "query");
        if (question.gold.empty()) question.gold = text_field(record, "SQL");
        if (first_line(question.question).empty() || first_line(question.gold).empty()) {
            throw CommandError(path + ": record " + std::to_string(index) +
                                   " needs a \"question\" and its gold SQL in \"query\" (Spider) or \"SQL\" (BIRD)",
                               kExitUsage);
        }
        questions.push_back(std::move(question));
        ++index;
    }
    if (questions.empty()) throw CommandError(path + " holds no questions", kExitUsage);
    return questions;
}

std::vector<Question> select_questions(std::vector<Question> questions, std::optional<long> sample, long seed,
                                       std::optional<long> limit) {
    if (sample && static_cast<std::size_t>(*sample) < questions.size()) {
        // Python's own generator: the same seed draws the same questions everywhere.
        py::object drawn = zorvan::imported(zorvan::dep::random_Random)(seed).attr("sample")(
            zorvan::imported(zorvan::dep::builtins_range)(questions.size()), *sample);
        std::set<long> chosen;
        for (py::handle index : drawn) chosen.insert(index.cast<long>());
        std::vector<Question> kept;
        for (auto& question : questions)
            if (chosen.count(question.index) > 0) kept.push_back(std::move(question));
        questions = std::move(kept);
    }
    if (limit && static_cast<std::size_t>(*limit) < questions.size()) questions.resize(*limit);
    return questions;
}

std::vector<std::string> database_ids(const std::vector<Question>& questions) {
    std::vector<std::string> ids;
    for (const auto& question : questions)
        if (std::find(ids.begin(), ids.end(), question.db_id) == ids.end()) ids.push_back(question.db_id);
    return ids;
}

std::string database_file(const std::string& directory, const std::string& db_id) {
    py::object path = zorvan::imported_module(zorvan::dep::os_path_module);
    for (const std::string& base : {std::string(py::str(path.attr("join")(directory, "database"))), directory}) {
        py::object file = path.attr("join")(base, db_id, db_id + ".sqlite");
        if (py::bool_(path.attr("isfile")(file))) return py::str(path.attr("abspath")(file));
    }
    return "";
}

}  // namespace zorvanai::cli::eval
