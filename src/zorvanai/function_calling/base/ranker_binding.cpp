#include "ranker_binding.hpp"

#include <pybind11/stl.h>

#include <cmath>
#include <optional>

#include "ranker.hpp"
#include "table_catalogue.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::function_calling {
namespace py = pybind11;
namespace {

std::string text_of(py::handle value, const char* what) {
    if (!py::isinstance<py::str>(value))
        throw py::type_error(std::string(what) + " must be a string, not " + zorvan::type_name(value));
    return value.cast<std::string>();
}

std::vector<std::string> texts_of(py::handle values, const char* what) {
    if (py::isinstance<py::str>(values) || py::isinstance<py::bytes>(values))
        throw py::type_error(std::string(what) + " must be a list of strings, not a single string");
    std::vector<std::string> texts;
    for (auto value : py::iter(values)) texts.push_back(text_of(value, what));
    return texts;
}

// {name: [column, ...]}, or a list of names or of (name, [column, ...]).
std::vector<TableColumns> tables_of(py::handle tables) {
    std::vector<TableColumns> result;
    if (py::isinstance<py::str>(tables)) throw py::type_error("tables must be a mapping or a list, not str");
    if (py::isinstance(tables, zorvan::imported(zorvan::dep::collections_abc_Mapping))) {
        for (auto item : py::iter(tables.attr("items")())) {
            auto pair = item.cast<py::tuple>();
            result.push_back({text_of(pair[0], "table name"), texts_of(pair[1], "columns")});
        }
        return result;
    }
    for (auto item : py::iter(tables)) {
        if (py::isinstance<py::str>(item)) {
            result.push_back({item.cast<std::string>(), {}});
            continue;
        }
        auto pair = py::tuple(py::reinterpret_borrow<py::object>(item));
        if (pair.size() != 2) throw py::type_error("each table must be a name or a (name, columns) pair");
        result.push_back({text_of(pair[0], "table name"), texts_of(pair[1], "columns")});
    }
    return result;
}

std::vector<ForeignKeyLink> links_of(py::handle links) {
    std::vector<ForeignKeyLink> result;
    for (auto item : py::iter(links)) {
        if (py::isinstance<py::str>(item))
            throw py::type_error("each foreign key must be a (table, referenced table) pair");
        auto pair = py::tuple(py::reinterpret_borrow<py::object>(item));
        if (pair.size() != 2) throw py::type_error("each foreign key must be a (table, referenced table) pair");
        result.push_back({text_of(pair[0], "table name"), text_of(pair[1], "table name")});
    }
    return result;
}

double weight_of(py::handle value, const char* name) {
    if (py::isinstance<py::bool_>(value) || !(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)))
        throw py::type_error(std::string(name) + " must be a number, not " + zorvan::type_name(value));
    const double number = value.cast<double>();
    if (!std::isfinite(number) || number < 0.0)
        throw py::value_error(std::string(name) + " must be a finite number of at least 0");
    return number;
}

std::size_t count_of(py::handle value, const char* name, long long least) {
    if (py::isinstance<py::bool_>(value) || !py::isinstance<py::int_>(value))
        throw py::type_error(std::string(name) + " must be a whole number, not " + zorvan::type_name(value));
    const long long number = value.cast<long long>();
    if (number < least) throw py::value_error(std::string(name) + " must be at least " + std::to_string(least));
    return static_cast<std::size_t>(number);
}

RankerOptions options_of(const py::kwargs& given) {
    RankerOptions options;
    for (auto [key, value] : given) {
        const std::string name = py::str(key);
        if (name == "name_weight")
            options.name_weight = weight_of(value, "name_weight");
        else if (name == "column_weight")
            options.column_weight = weight_of(value, "column_weight");
        else if (name == "modifier_share")
            options.modifier_share = weight_of(value, "modifier_share");
        else if (name == "related_share")
            options.related_share = weight_of(value, "related_share");
        else if (name == "min_prefix")
            options.min_prefix = count_of(value, "min_prefix", 1);
        else if (name == "max_abbreviation")
            options.max_abbreviation = count_of(value, "max_abbreviation", 0);
        else if (name == "foreign_key_lift")
            options.foreign_key_lift = weight_of(value, "foreign_key_lift");
        else if (name == "full_name_bonus")
            options.full_name_bonus = weight_of(value, "full_name_bonus");
        else
            throw py::type_error("TableRanker got an unexpected option '" + name + "'");
    }
    return options;
}

std::vector<RankedTable> ranked(const TableRanker& ranker, py::handle question, py::handle k, py::handle candidates) {
    const std::string text = text_of(question, "question");
    const std::size_t size = count_of(k, "k", 0);
    std::optional<std::vector<std::string>> allowed;
    if (!candidates.is_none()) allowed = texts_of(candidates, "candidates");
    py::gil_scoped_release unlocked;
    return ranker.rank(text, size, allowed ? &*allowed : nullptr);
}

const char* kClassDoc =
    R"(Ranks a database's tables against a question from the words of table and column names.

Rare words weigh more than common ones, words of a table's name more than words of its
columns, and tables linked by foreign keys lift each other.

    ranker = TableRanker({"orders": ["id", "placed_on"], "customers": ["id", "email"]})
    ranker.rank("Which customers placed orders?", 2)   # ['customers', 'orders'])";

}  // namespace

void register_ranker(py::module_& m) {
    // Docstrings that begin with "name(params)\n--\n\n" give each function a
    // real Python signature (inspect.signature, editors).
    py::options options;
    options.disable_function_signatures();
    py::class_<TableRanker>(m, "TableRanker", kClassDoc)
        .def(py::init([](py::handle tables, py::handle foreign_keys, const py::kwargs& options) {
                 return TableRanker(tables_of(tables), links_of(foreign_keys), options_of(options));
             }),
             R"(__init__(self, tables, foreign_keys=(), **options)
--

Index the tables.

Args:
    tables: each table name to its column names, or a list of names or of
        (name, columns) pairs.
    foreign_keys: (table, referenced table) pairs.
    **options: name_weight, column_weight, modifier_share, related_share,
        foreign_key_lift, full_name_bonus (numbers of at least 0), min_prefix (1 or
        more) and max_abbreviation (0 or more).

Raises:
    TypeError: a name that is not a string, a malformed pair or an unknown option.
    ValueError: an option out of range.)",
             py::arg("tables"), py::arg("foreign_keys") = py::tuple())
        .def_static(
            "from_engine",
            [](py::handle engine, py::handle schema, double time_limit, const py::kwargs& options) {
                RankerOptions chosen = options_of(options);
                TableCatalogue catalogue = read_catalogue(engine, schema, time_limit);
                return TableRanker(std::move(catalogue.tables), catalogue.links, chosen);
            },
            R"(from_engine(engine, schema=None, time_limit=30.0, **options)
--

Index every table of a database from one catalogue read.

Args:
    engine: a SQLAlchemy engine.
    schema: the schema to read; None for the default one.
    time_limit: seconds each catalogue statement may run.
    **options: as for TableRanker().

Returns:
    The new TableRanker.

Raises:
    sqlalchemy.exc.SQLAlchemyError: the catalogue cannot be read.)",
            py::arg("engine"), py::arg("schema") = py::none(), py::arg("time_limit") = 30.0)
        .def(
            "rank",
            [](const TableRanker& self, py::handle question, py::handle k, py::handle candidates) {
                std::vector<std::string> names;
                for (auto& table : ranked(self, question, k, candidates)) names.push_back(std::move(table.name));
                return names;
            },
            R"(rank(self, question, k=60, candidates=None)
--

Name the tables that best match a question, best first (ties in name order).

Args:
    question: the question, in plain words.
    k: how many tables at most.
    candidates: only these tables are ranked; None for all.

Returns:
    The table names.)",
            py::arg("question"), py::arg("k") = py::int_(kDefaultShortlistSize), py::arg("candidates") = py::none())
        .def(
            "scores",
            [](const TableRanker& self, py::handle question, py::handle k, py::handle candidates) {
                std::vector<std::pair<std::string, double>> pairs;
                for (auto& table : ranked(self, question, k, candidates)) pairs.emplace_back(table.name, table.score);
                return pairs;
            },
            R"(scores(self, question, k=60, candidates=None)
--

Rank like rank(), with each table's score.

Args:
    question: the question, in plain words.
    k: how many tables at most.
    candidates: only these tables are ranked; None for all.

Returns:
    [(name, score), ...], best first.)",
            py::arg("question"), py::arg("k") = py::int_(kDefaultShortlistSize), py::arg("candidates") = py::none())
        .def_property_readonly("tables", &TableRanker::names, "Every indexed table name, sorted.")
        .def("__len__", &TableRanker::size, "__len__(self)\n--\n\nThe number of indexed tables.")
        .def(
            "__repr__",
            [](const TableRanker& self) { return "<TableRanker of " + std::to_string(self.size()) + " tables>"; },
            "__repr__(self)\n--\n\nThe class and the number of tables.");
    m.def("identifier_words", &identifier_words,
          R"(identifier_words(text)
--

Split a name or a question into the words the ranker matches on.

Words are split at case changes and non-letters, lower-cased and made singular.

Args:
    text: a table or column name, or a question.

Returns:
    The words, in order.)",
          py::arg("text"));
}

}  // namespace zorvanai::function_calling
