// The results of a run: records and their summary as JSON, the table shown
// on the terminal, and the questions whose outcome changed between two runs.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>

#include "eval.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli::eval {

namespace {

constexpr std::size_t kQuestionWidth = 72;

py::object optional_text(const std::optional<std::string>& value) {
    return value ? py::object(py::str(*value)) : py::object(py::none());
}

py::list text_list(const std::vector<std::string>& values) {
    py::list list;
    for (const auto& value : values) list.append(py::str(value));
    return list;
}

std::optional<std::string> text_or_none(const py::dict& item, const char* key) {
    if (!item.contains(key) || item[key].is_none()) return std::nullopt;
    return py::str(item[key]).cast<std::string>();
}

template <typename T>
T value_or(const py::dict& item, const char* key, T fallback) {
    if (!item.contains(key) || item[key].is_none()) return fallback;
    return item[key].cast<T>();
}

double share(std::size_t part, std::size_t whole) {
    return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

std::string percent(double fraction) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", fraction * 100.0);
    return text;
}

// 12345 -> "12,345".
std::string grouped(long value) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return (value < 0 ? "-" : "") + digits;
}

// Seconds to the tenth of a millisecond: finer figures are noise.
py::float_ seconds_value(double seconds) {
    return py::float_(std::round(seconds * 10000.0) / 10000.0);
}

std::string words(std::string stage_name) {
    std::replace(stage_name.begin(), stage_name.end(), '_', ' ');
    return stage_name;
}

std::string question_line(const Record& record, const std::string& what) {
    char index[16];
    std::snprintf(index, sizeof index, "  #%-5ld", record.index);
    std::string label = what;
    label.resize(std::max<std::size_t>(what.size() + 2, 28), ' ');
    return index + label + clipped(record.question, kQuestionWidth) + "\n";
}

py::dict read_document(const std::string& path) {
    py::object data = read_json_file(path, "the results file");
    if (!PyDict_Check(data.ptr()) || !py::dict(data).contains("records") || !PyList_Check(data["records"].ptr())) {
        throw CommandError(path + " is not a results file of zorvanai eval (no \"records\" list)", kExitUsage);
    }
    return data;
}

using RecordKey = std::tuple<long, std::string, std::string>;

RecordKey key_of(const Record& record) {
    return {record.index, record.db_id, record.question};
}

std::string outcome_of(const Record& record) {
    return record.match ? "matched" : words(record.stage.value_or(stage::error));
}

}  // namespace

std::string clipped(const std::string& text, std::size_t width) {
    std::string line = first_line(text);
    if (py::len(py::str(line)) <= width) return line;
    // Cut by characters, not bytes, so that the text stays valid UTF-8.
    return py::str(py::str(line)[py::slice(0, static_cast<py::ssize_t>(width - 3), 1)]).cast<std::string>() + "...";
}

std::string table_row(const std::string& label, const std::string& value) {
    std::string padded = label;
    padded.resize(std::max<std::size_t>(label.size() + 2, 26), ' ');
    return padded + value + "\n";
}

py::dict record_to_json(const Record& record) {
    py::dict item;
    item["index"] = record.index;
    item["question"] = record.question;
    item["db_id"] = record.db_id;
    item["gold"] = record.gold;
    item["predicted"] = optional_text(record.predicted);
    item["match"] = py::bool_(record.match);
    item["stage"] = optional_text(record.stage);
    item["reason"] = optional_text(record.reason);
    item["attempts"] = record.attempts;
    item["prompt_tokens"] = record.prompt_tokens;
    item["completion_tokens"] = record.completion_tokens;
    item["cost"] = record.cost ? py::object(py::float_(*record.cost)) : py::object(py::none());
    item["seconds"] = seconds_value(record.seconds);
    item["gold_tables"] = text_list(record.gold_tables);
    item["picked_tables"] = text_list(record.picked_tables);
    item["shortlist_hit"] = record.shortlist_hit ? py::object(py::bool_(*record.shortlist_hit)) : py::none();
    item["picked_hit"] = record.picked_hit ? py::object(py::bool_(*record.picked_hit)) : py::none();
    return item;
}

Record record_from_json(const py::handle& value) {
    if (!PyDict_Check(value.ptr())) throw CommandError("a results record is not a JSON object", kExitUsage);
    py::dict item = py::reinterpret_borrow<py::dict>(value);
    Record record;
    try {
        record.index = value_or<long>(item, "index", -1);
        record.question = text_or_none(item, "question").value_or("");
        record.db_id = text_or_none(item, "db_id").value_or("");
        record.gold = text_or_none(item, "gold").value_or("");
        record.predicted = text_or_none(item, "predicted");
        record.match = value_or<bool>(item, "match", false);
        record.stage = text_or_none(item, "stage");
        record.reason = text_or_none(item, "reason");
        record.attempts = value_or<long>(item, "attempts", 0);
        record.prompt_tokens = value_or<long>(item, "prompt_tokens", 0);
        record.completion_tokens = value_or<long>(item, "completion_tokens", 0);
        if (item.contains("cost") && !item["cost"].is_none()) record.cost = item["cost"].cast<double>();
        record.seconds = value_or<double>(item, "seconds", 0.0);
        for (const char* key : {"gold_tables", "picked_tables"}) {
            auto& names = std::string(key) == "gold_tables" ? record.gold_tables : record.picked_tables;
            if (item.contains(key) && PyList_Check(item[key].ptr()))
                for (py::handle name : item[key]) names.push_back(py::str(name));
        }
        if (item.contains("shortlist_hit") && !item["shortlist_hit"].is_none())
            record.shortlist_hit = item["shortlist_hit"].cast<bool>();
        if (item.contains("picked_hit") && !item["picked_hit"].is_none())
            record.picked_hit = item["picked_hit"].cast<bool>();
    } catch (const py::cast_error&) {
        throw CommandError(
            "a results record holds a value of the wrong type (index " + std::to_string(record.index) + ")",
            kExitUsage);
    }
    return record;
}

py::dict summary_of(const std::vector<Record>& records, const RunInfo& info) {
    std::size_t matched = 0, ran = 0, refused = 0, shortlisted = 0, shortlist_known = 0, picked = 0, picked_known = 0;
    long prompt = 0, completion = 0;
    double seconds = 0.0, cost = 0.0;
    bool cost_known = true;
    std::map<std::string, long> stages;
    for (const auto& record : records) {
        matched += record.match;
        ran += record.predicted.has_value();
        refused += record.stage == std::string(stage::refused);
        if (record.stage) ++stages[*record.stage];
        prompt += record.prompt_tokens;
        completion += record.completion_tokens;
        seconds += record.seconds;
        if (record.cost) cost += *record.cost;
        cost_known = cost_known && record.cost.has_value();
        if (record.shortlist_hit) shortlisted += *record.shortlist_hit, ++shortlist_known;
        if (record.picked_hit) picked += *record.picked_hit, ++picked_known;
    }
    std::vector<std::pair<std::string, long>> by_count(stages.begin(), stages.end());
    std::stable_sort(by_count.begin(), by_count.end(), [](auto& a, auto& b) { return a.second > b.second; });
    py::dict stage_counts;
    for (const auto& [name, count] : by_count) stage_counts[py::str(name)] = count;

    const std::size_t total = records.size();
    py::dict summary;
    summary["questions"] = total;
    summary["selected"] = info.selected;
    summary["matched"] = matched;
    summary["execution_accuracy"] = py::float_(share(matched, total));
    summary["ran"] = py::float_(share(ran, total));
    summary["refused"] = py::float_(share(refused, total));
    summary["stages"] = stage_counts;
    summary["prompt_tokens"] = prompt;
    summary["completion_tokens"] = completion;
    summary["cost"] = cost_known ? py::object(py::float_(cost)) : py::object(py::none());
    summary["seconds"] = seconds_value(seconds);
    summary["mean_seconds"] = seconds_value(total == 0 ? 0.0 : seconds / static_cast<double>(total));
    summary["shortlist_recall"] =
        shortlist_known == 0 ? py::object(py::none()) : py::object(py::float_(share(shortlisted, shortlist_known)));
    summary["picked_recall"] =
        picked_known == 0 ? py::object(py::none()) : py::object(py::float_(share(picked, picked_known)));
    summary["model"] = info.model;
    summary["provider"] = info.provider;
    summary["questions_file"] = info.questions_file;
    summary["interrupted"] = py::bool_(info.interrupted);
    return summary;
}

std::string render_report(const py::dict& summary, const std::vector<Record>& records) {
    const long total = summary["questions"].cast<long>();
    std::string text;
    text += table_row("Questions", std::to_string(total) +
                                       (summary["interrupted"].cast<bool>()
                                            ? " of " + std::string(py::str(summary["selected"])) + " (interrupted)"
                                            : ""));
    text += table_row("Execution accuracy", percent(summary["execution_accuracy"].cast<double>()) + "  (" +
                                                std::string(py::str(summary["matched"])) + " matched)");
    text += table_row("A query ran", percent(summary["ran"].cast<double>()));
    text += table_row("Refused by the guard", percent(summary["refused"].cast<double>()));
    std::string stages;
    for (auto item : py::dict(summary["stages"])) {
        stages += (stages.empty() ? "" : ", ") + words(py::str(item.first)) + " " + std::string(py::str(item.second));
    }
    text += table_row("Not matched", stages.empty() ? "none" : stages);
    const long prompt = summary["prompt_tokens"].cast<long>(), completion = summary["completion_tokens"].cast<long>();
    text +=
        table_row("Tokens", grouped(prompt) + " prompt + " + grouped(completion) + " completion" +
                                (total > 0 ? " (" + grouped((prompt + completion) / total) + " per question)" : ""));
    char figure[96];
    if (summary["cost"].is_none()) {
        text += table_row("Cost", "unknown (a model without a price; see ZORVAN_MODEL_PRICES)");
    } else {
        std::snprintf(figure, sizeof figure, "$%.6f", summary["cost"].cast<double>());
        text += table_row("Cost", figure);
    }
    std::snprintf(figure, sizeof figure, "%.1f s in the graph (%.2f s per question)", summary["seconds"].cast<double>(),
                  summary["mean_seconds"].cast<double>());
    text += table_row("Time", figure);
    for (const auto& [key, label] :
         {std::pair{"shortlist_recall", "Gold tables shortlisted"}, std::pair{"picked_recall", "Gold tables picked"}}) {
        if (!summary[key].is_none()) text += table_row(label, percent(summary[key].cast<double>()));
    }
    std::string failed;
    for (const auto& record : records) {
        if (!record.match) failed += question_line(record, outcome_of(record));
    }
    if (!failed.empty()) text += "\nNot matched:\n" + failed;
    return text;
}

void write_results(const std::string& path, const py::dict& summary, const std::vector<Record>& records) {
    py::list items;
    for (const auto& record : records) items.append(record_to_json(record));
    py::dict document;
    document["summary"] = summary;
    document["records"] = items;
    const std::string text = py::str(
        zorvan::imported(zorvan::dep::json_dumps)(document, py::arg("indent") = 1, py::arg("ensure_ascii") = false));
    // Written aside and moved into place: an interrupted write leaves the
    // previous file whole.
    py::module_ os = zorvan::imported_module(zorvan::dep::os_module);
    const std::string partial = path + ".partial-" + std::string(py::str(os.attr("getpid")()));
    py::object file = zorvan::imported(zorvan::dep::builtins_open)(partial, "w", py::arg("encoding") = "utf-8");
    try {
        file.attr("write")(text + "\n");
        file.attr("close")();
        os.attr("replace")(partial, path);
    } catch (...) {
        file.attr("close")();
        if (py::bool_(os.attr("path").attr("exists")(partial))) os.attr("remove")(partial);
        throw;
    }
}

std::vector<Record> read_results(const std::string& path) {
    if (!py::bool_(zorvan::imported(zorvan::dep::os_path_exists)(path))) return {};
    const py::dict document = read_document(path);
    std::vector<Record> records;
    for (py::handle item : document["records"]) records.push_back(record_from_json(item));
    return records;
}

std::string render_comparison(const std::string& path_a, const std::string& path_b) {
    for (const auto& path : {path_a, path_b}) {
        if (!py::bool_(zorvan::imported(zorvan::dep::os_path_exists)(path)))
            throw CommandError("no results file " + path, kExitUsage);
    }
    const std::vector<Record> a = read_results(path_a), b = read_results(path_b);
    std::map<RecordKey, const Record*> in_b;
    for (const auto& record : b) in_b[key_of(record)] = &record;

    std::string text;
    for (const auto& [name, path, records] : {std::tuple{"A", path_a, &a}, std::tuple{"B", path_b, &b}}) {
        const py::dict summary = summary_of(*records, RunInfo{});
        text += std::string(name) + "  " + path + ": execution accuracy " +
                percent(summary["execution_accuracy"].cast<double>()) + " (" +
                std::string(py::str(summary["matched"])) + " of " + std::to_string(records->size()) + ")\n";
    }
    std::string fixed, broken, changed;
    std::size_t fixed_count = 0, broken_count = 0, changed_count = 0, only_a = 0;
    for (const auto& record : a) {
        auto found = in_b.find(key_of(record));
        if (found == in_b.end()) {
            ++only_a;
            continue;
        }
        const Record& other = *found->second;
        in_b.erase(found);
        const std::string before = outcome_of(record), after = outcome_of(other);
        if (before == after) continue;
        const std::string line = question_line(record, before + " -> " + after);
        if (other.match) {
            fixed += line, ++fixed_count;
        } else if (record.match) {
            broken += line, ++broken_count;
        } else {
            changed += line, ++changed_count;
        }
    }
    if (fixed_count + broken_count + changed_count == 0) text += "\nNo question changed.\n";
    if (fixed_count) text += "\nMatched only in B (" + std::to_string(fixed_count) + "):\n" + fixed;
    if (broken_count) text += "\nMatched only in A (" + std::to_string(broken_count) + "):\n" + broken;
    if (changed_count) text += "\nFailed in another way (" + std::to_string(changed_count) + "):\n" + changed;
    if (only_a + in_b.size() > 0) {
        text +=
            "\nOnly in A: " + std::to_string(only_a) + " questions; only in B: " + std::to_string(in_b.size()) + ".\n";
    }
    return text;
}

}  // namespace zorvanai::cli::eval
