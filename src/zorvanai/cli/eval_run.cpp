// One question: run through the graph with its usage metered, then scored.
// The gold query and the last query that ran are both executed again on a
// second read-only handle that returns whole results, since the graph's own
// handle shows at most a few hundred rows as text.
#include <algorithm>
#include <chrono>

#include "eval.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli::eval {

namespace {

constexpr long kScoringRows = 100000;
constexpr long kScoringBytes = 256L * 1024 * 1024;
constexpr std::size_t kReasonLength = 300;
constexpr const char* kRefusalStart = "This query was not run: ";
constexpr const char* kEmptyResult = "None";  // what the execution node records for no rows

std::string sqlglot_dialect(const std::string& sqlalchemy_name) {
    if (sqlalchemy_name == "postgresql") return "postgres";
    if (sqlalchemy_name == "mysql" || sqlalchemy_name == "mariadb") return "mysql";
    if (sqlalchemy_name == "mssql") return "tsql";
    return sqlalchemy_name;
}

std::string short_reason(const std::string& text) {
    return clipped(text, kReasonLength);
}

// The stage of a query that failed, from the text the execution recorded.
std::string failure_stage(const std::string& text) {
    if (text.rfind(kRefusalStart, 0) == 0) return stage::refused;
    for (const char* marker :
         {"TimeoutError)", "statement timeout", "max_statement_time", "maximum statement execution time"}) {
        if (text.find(marker) != std::string::npos) return stage::time_limit;
    }
    return stage::database_error;
}

// Whether an execution ran its query: it gave rows, or none.
bool ran(const py::handle& execution) {
    return py::bool_(execution["success"]) || py::str(execution["result"]).cast<std::string>() == kEmptyResult;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool all_within(const std::vector<std::string>& wanted, const py::handle& offered) {
    for (const auto& name : wanted) {
        if (!py::bool_(offered.attr("__contains__")(name))) return false;
    }
    return true;
}

struct Fetched {
    std::vector<Row> rows;
    bool complete = true;
};

Fetched fetch(const Target& target, const std::string& query) {
    py::object result = target.scoring.attr("run")(query, py::arg("fetch") = "cursor");
    Fetched fetched;
    fetched.rows = normalised_rows(result);
    fetched.complete = fetched.rows.size() <= static_cast<std::size_t>(kScoringRows);
    return fetched;
}

// A query without the white space and semicolons around it.
std::string trimmed(const std::string& query) {
    const auto first = query.find_first_not_of(" \t\r\n;");
    if (first == std::string::npos) return "";
    return query.substr(first, query.find_last_not_of(" \t\r\n;") - first + 1);
}

void score(Record& record, const Question& question, const Target& target, bool ordered) {
    if (trimmed(*record.predicted) == trimmed(question.gold)) {
        // The gold query itself, and it ran: the same rows.
        record.match = true;
        return;
    }
    py::object database_error = zorvan::imported(zorvan::dep::sqlalchemy_exc_SQLAlchemyError);
    Fetched gold, predicted;
    try {
        gold = fetch(target, question.gold);
    } catch (py::error_already_set& error) {
        if (!error.matches(database_error)) throw;
        record.stage = stage::gold_error;
        record.reason = "the gold query failed: " + short_reason(py::str(error.value()));
        return;
    }
    try {
        predicted = fetch(target, *record.predicted);
    } catch (py::error_already_set& error) {
        if (!error.matches(database_error)) throw;
        const std::string text = py::str(error.value());
        record.stage = failure_stage(text);
        record.reason = "the query ran in the graph but failed when scored: " + short_reason(text);
        return;
    }
    if (!gold.complete || !predicted.complete) {
        record.stage = stage::too_large;
        record.reason = "a result has more than " + std::to_string(kScoringRows) + " rows";
        return;
    }
    record.match = same_results(std::move(gold.rows), std::move(predicted.rows), ordered);
    if (!record.match) record.stage = stage::wrong_result;
}

}  // namespace

QueryShape query_shape(const std::string& query, const std::string& dialect) {
    QueryShape shape;
    py::object tree;
    try {
        tree = zorvan::imported(zorvan::dep::sqlglot_parse_one)(query, py::arg("read") = dialect);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return shape;
    }
    py::module_ expressions = zorvan::imported_module(zorvan::dep::sqlglot_expressions_module);
    std::vector<std::string> own;  // the query's WITH names
    for (py::handle cte : tree.attr("find_all")(expressions.attr("CTE")))
        own.push_back(py::str(cte.attr("alias_or_name").attr("lower")()));
    for (py::handle table : tree.attr("find_all")(expressions.attr("Table"))) {
        const std::string name = py::str(table.attr("name").attr("lower")());
        if (name.empty() || std::find(own.begin(), own.end(), name) != own.end() ||
            std::find(shape.tables.begin(), shape.tables.end(), name) != shape.tables.end())
            continue;
        shape.tables.push_back(name);
    }
    shape.ordered = py::bool_(tree.attr("args").attr("get")("order"));
    shape.parsed = true;
    return shape;
}

std::vector<std::string> spelled_as_in(const std::vector<std::string>& wanted, const std::vector<std::string>& tables,
                                       const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& name : wanted) {
        const py::object folded = py::str(prefix + name).attr("casefold")();
        auto found = std::find_if(tables.begin(), tables.end(), [&](const std::string& table) {
            return py::str(table).attr("casefold")().equal(folded);
        });
        if (found == tables.end()) return {};
        names.push_back(*found);
    }
    return names;
}

Target open_target(const std::string& db_id, py::object graph) {
    Target target;
    target.db_id = db_id;
    py::object db = graph.attr("db");
    target.graph = std::move(graph);
    target.dialect = sqlglot_dialect(py::str(db.attr("dialect")));
    // The same reach and time limit, with room for whole results.
    target.scoring = db.attr("with_limits")(kScoringRows + 1, py::arg("max_result_bytes") = kScoringBytes);
    for (py::handle name : db.attr("get_usable_table_names")()) target.tables.push_back(py::str(name));
    return target;
}

Record evaluate(const Question& question, const Target& target, const py::object& api_key,
                const std::string& media_dir) {
    Record record;
    record.index = question.index;
    record.question = question.question;
    record.db_id = question.db_id;
    record.gold = question.gold;

    const auto started = std::chrono::steady_clock::now();
    py::dict outcome = zorvan::imported(zorvan::dep::zorvanai_agent__run_for_evaluation)(target.graph, api_key,
                                                                                         question.asked(), media_dir);
    record.seconds = seconds_since(started);
    record.prompt_tokens = outcome["prompt_tokens"].cast<long>();
    record.completion_tokens = outcome["completion_tokens"].cast<long>();
    if (!outcome["total_cost"].is_none()) record.cost = outcome["total_cost"].cast<double>();
    for (py::handle name : outcome[zorvan::key::relevant_tables]) record.picked_tables.push_back(py::str(name));

    const QueryShape gold = query_shape(question.gold, target.dialect);
    record.gold_tables = spelled_as_in(gold.tables, target.tables);
    if (!record.gold_tables.empty()) {
        py::object offered =
            target.graph.attr("relevant_table_picker").attr("shortlist")(question.asked(), py::cast(target.tables));
        record.shortlist_hit = all_within(record.gold_tables, offered);
        record.picked_hit = all_within(record.gold_tables, py::cast(record.picked_tables));
    }

    py::list executions = outcome["executions"];
    record.attempts = static_cast<long>(py::len(executions));
    std::string last_failure;
    for (py::handle item : executions) {
        if (ran(item)) {
            record.predicted = py::str(item["query"]).cast<std::string>();
            last_failure.clear();
        } else {
            last_failure = py::str(item["result"]);
        }
    }

    py::object error = outcome["error"];
    if (!error.is_none()) {
        const std::string kind = py::str(error["kind"]);
        record.stage = kind == "model" ? stage::model_error : kind == "database" ? stage::database_error : stage::error;
        record.reason = short_reason(py::str(error["reason"]));
        return record;
    }
    if (!record.predicted) {
        record.stage = executions.empty() ? stage::no_query : failure_stage(last_failure);
        record.reason = executions.empty() ? "no query was executed" : short_reason(last_failure);
        return record;
    }
    score(record, question, target, gold.ordered);
    return record;
}

}  // namespace zorvanai::cli::eval
