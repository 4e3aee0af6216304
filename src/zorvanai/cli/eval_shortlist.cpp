// `zorvanai eval --shortlist-only`: how often the table ranker's shortlist
// holds every table of the gold query, from Spider's tables.json alone: no
// model and no database, so the schema side can be checked on thousands of
// tables for free.
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>

#include "eval.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli::eval {

namespace {

constexpr std::array<std::size_t, 3> kRecallAt = {10, 30, 60};

struct Schema {
    std::vector<std::string> tables;
    py::dict columns;       // table -> [column, ...]
    py::list foreign_keys;  // (table, referenced table)
};

py::object field(const py::dict& schema, const char* name, const char* fallback) {
    if (schema.contains(name)) return schema[name];
    if (schema.contains(fallback)) return schema[fallback];
    throw CommandError(std::string("a schema of tables.json has no \"") + name + "\"", kExitUsage);
}

// Each database of tables.json; with `merged`, one schema holding them all,
// each table named "<db_id>__<table>".
std::map<std::string, Schema> read_schemas(const std::string& path, bool merged) {
    py::object data = read_json_file(path, "the schemas");
    if (!PyList_Check(data.ptr())) throw CommandError(path + " is not Spider's tables.json (a JSON list)", kExitUsage);
    std::map<std::string, Schema> schemas;
    for (py::handle item : data) {
        if (!PyDict_Check(item.ptr())) throw CommandError(path + " holds a schema that is not an object", kExitUsage);
        py::dict schema = py::reinterpret_borrow<py::dict>(item);
        const std::string db_id = py::str(field(schema, "db_id", "db_id"));
        Schema& into = schemas[merged ? "" : db_id];
        const std::string prefix = merged ? db_id + "__" : "";
        std::vector<std::string> names;
        for (py::handle name : field(schema, "table_names_original", "table_names"))
            names.push_back(prefix + std::string(py::str(name)));
        for (const auto& name : names) {
            into.tables.push_back(name);
            into.columns[py::str(name)] = py::list();
        }
        py::list columns = field(schema, "column_names_original", "column_names");
        for (py::handle column : columns) {
            const long table = column[py::int_(0)].cast<long>();
            if (table >= 0 && table < static_cast<long>(names.size()))
                into.columns[py::str(names[table])].attr("append")(column[py::int_(1)]);
        }
        py::object keys = schema.attr("get")("foreign_keys", py::list());
        for (py::handle pair : keys) {
            const long from = pair[py::int_(0)].cast<long>(), to = pair[py::int_(1)].cast<long>();
            const long from_table = columns[from][py::int_(0)].cast<long>();
            const long to_table = columns[to][py::int_(0)].cast<long>();
            if (from_table < 0 || to_table < 0) continue;
            into.foreign_keys.append(py::make_tuple(names[from_table], names[to_table]));
        }
    }
    return schemas;
}

}  // namespace

std::string shortlist_report(const std::vector<Question>& questions, const std::string& tables_file, bool merged,
                             const std::string& dialect) {
    std::map<std::string, Schema> schemas = read_schemas(tables_file, merged);
    py::object ranker_class = zorvan::imported(zorvan::dep::zorvanai_function_calling_base_TableRanker);
    std::map<std::string, py::object> rankers;
    std::array<std::size_t, kRecallAt.size()> hits{};
    std::size_t counted = 0, unmapped = 0, largest = 0;
    for (const auto& question : questions) {
        auto schema = schemas.find(merged ? "" : question.db_id);
        if (schema == schemas.end()) {
            ++unmapped;
            continue;
        }
        const std::vector<std::string> gold = spelled_as_in(query_shape(question.gold, dialect).tables,
                                                            schema->second.tables, merged ? question.db_id + "__" : "");
        if (gold.empty()) {
            ++unmapped;
            continue;
        }
        py::object& ranker = rankers[schema->first];
        if (!ranker) {
            ranker = ranker_class(schema->second.columns, schema->second.foreign_keys);
            largest = std::max(largest, schema->second.tables.size());
        }
        py::list ranked = ranker.attr("rank")(question.asked(), kRecallAt.back());
        ++counted;
        for (std::size_t k = 0; k < kRecallAt.size(); ++k) {
            const py::object top = ranked[py::slice(0, static_cast<py::ssize_t>(kRecallAt[k]), 1)];
            hits[k] += std::all_of(gold.begin(), gold.end(),
                                   [&](const std::string& name) { return py::bool_(top.attr("__contains__")(name)); });
        }
    }
    if (counted == 0) {
        throw CommandError("no gold query could be matched to the tables of " + tables_file +
                               " (each record's db_id must name a schema there)",
                           kExitUsage);
    }
    std::string text =
        table_row("Questions", std::to_string(counted) + (unmapped > 0 ? " (" + std::to_string(unmapped) +
                                                                             " gold queries not matched to "
                                                                             "tables of " +
                                                                             tables_file + ")"
                                                                       : ""));
    text += table_row(
        merged ? "Tables in one index" : "Databases",
        merged ? std::to_string(largest)
               : std::to_string(rankers.size()) + " (the largest has " + std::to_string(largest) + " tables)");
    for (std::size_t k = 0; k < kRecallAt.size(); ++k) {
        char figure[32];
        std::snprintf(figure, sizeof figure, "%.3f", static_cast<double>(hits[k]) / static_cast<double>(counted));
        text += table_row("Recall at " + std::to_string(kRecallAt[k]), figure);
    }
    return text;
}

}  // namespace zorvanai::cli::eval
