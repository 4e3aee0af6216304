#include "sql_guard.hpp"

#include <algorithm>
#include <set>

#include "lexing_check.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string with_article(const std::string& noun) {
    const bool vowel = !noun.empty() && std::string("AEIOUaeiou").find(noun.front()) != std::string::npos;
    return (vowel ? "an " : "a ") + noun;
}

std::string class_name(py::handle node) {
    return py::str(py::type::of(node).attr("__name__"));
}

// Statement classes that may not appear inside a read, by what they are.
std::string statement_noun(const std::string& cls) {
    static const std::set<std::string> statements = {
        "Insert",        "Update",      "Delete",   "Merge",    "Create",  "Drop",    "Alter",
        "TruncateTable", "Command",     "Copy",     "Set",      "Use",     "Grant",   "Revoke",
        "LoadData",      "Show",        "Describe", "Pragma",   "Analyze", "Execute", "Kill",
        "Declare",       "Transaction", "Commit",   "Rollback", "Cache",   "Uncache", "Refresh"};
    if (statements.count(cls) == 0) return "";
    if (cls == "TruncateTable") return "TRUNCATE";
    if (cls == "LoadData") return "LOAD DATA";
    return upper(cls);
}

bool same_name(const std::string& a, const std::string& b, GuardDialect dialect) {
    if (dialect == GuardDialect::TSQL || dialect == GuardDialect::SQLite) return lower(a) == lower(b);
    return a == b;
}

class Walker {
public:
    Walker(const GuardContext& context, const py::str& text) : context_(context), text_(text) {
        py::module_ exp = zorvan::imported_module(zorvan::dep::sqlglot_expressions_module);
        func_ = exp.attr("Func");
        anonymous_ = exp.attr("Anonymous");
        table_ = exp.attr("Table");
        column_ = exp.attr("Column");
        data_type_ = exp.attr("DataType");
        identifier_ = exp.attr("Identifier");
    }

    std::optional<Refusal> check(py::handle root) {
        for (py::handle node : root.attr("walk")()) {
            if (auto refusal = check_node(node)) return refusal;
        }
        return std::nullopt;
    }

    std::vector<std::string> functions;

private:
    std::string shown(py::handle node) const {
        std::string sql = py::str(node.attr("sql")(py::arg("dialect") = sqlglot_name(context_.dialect)));
        return sql.size() > 60 ? sql.substr(0, 57) + "..." : sql;
    }

    std::optional<Refusal> check_node(py::handle node) {
        const std::string cls = class_name(node);
        if (py::isinstance(node, func_)) return check_function(node, cls);
        if (py::isinstance(node, table_)) return check_qualifiers(node, "table");
        if (py::isinstance(node, column_)) return check_qualifiers(node, "column");
        if (py::isinstance(node, data_type_)) {
            py::object type = node.attr("this");
            const std::string name =
                py::hasattr(type, "name") ? std::string(py::str(type.attr("name"))) : std::string(py::str(type));
            if (type_allowed(name)) return std::nullopt;
            return Refusal{"a cast to the type " + shown(node),
                           "Cast only to built-in types such as INTEGER, NUMERIC, TEXT, DATE or TIMESTAMP."};
        }
        if (structure_allowed(cls)) return std::nullopt;
        if (cls == "Lock") {
            return Refusal{"a locking clause (" + shown(node) + ")", "Remove it: the query only reads."};
        }
        if (cls == "Into") {
            return Refusal{"SELECT ... INTO, which stores the result instead of returning it",
                           "Remove INTO: the rows are returned to you."};
        }
        if (cls == "Dot") {
            return Refusal{"a qualified name the check cannot account for (" + shown(node) + ")",
                           "Call functions by their name alone, and name columns as table.column."};
        }
        if (cls == "PropertyEQ") {
            return Refusal{"an assignment to a session variable (" + shown(node) + ")",
                           "Use values, subqueries or WITH instead of session variables."};
        }
        if (cls == "Parameter" || cls == "SessionParameter") {
            return Refusal{"a session variable (" + shown(node) + ")",
                           "Use values, subqueries or WITH instead of session variables."};
        }
        const std::string noun = statement_noun(cls);
        if (!noun.empty()) {
            return Refusal{"a data-changing or session statement (" + noun + ") inside the query", advice::one_query};
        }
        return Refusal{"a construct the check cannot account for (" + cls + ": " + shown(node) + ")",
                       advice::plain_select};
    }

    // The name of a function call as the server reads it; empty when the
    // call comes from syntax (CAST, CASE, operators) rather than a name.
    std::string written_name(py::handle node) const {
        py::dict meta = node.attr("meta");
        if (meta.contains("start") && meta.contains("end")) {
            const long start = meta["start"].cast<long>();
            const long end = meta["end"].cast<long>();
            if (start >= 0 && end >= start && end < static_cast<long>(py::len(text_))) {
                return resolve(py::str(text_[py::slice(start, end + 1, 1)]));
            }
        }
        if (!py::isinstance(node, anonymous_)) return "";
        py::object name = node.attr("this");
        if (py::isinstance(name, identifier_)) {
            const bool quoted = py::bool_(name.attr("quoted"));
            const std::string text = py::str(name.attr("this"));
            return quoted && context_.dialect == GuardDialect::Postgres ? text : lower(text);
        }
        return lower(py::str(name));
    }

    // Quoting resolved; names folded to lower case where the server ignores
    // case (PostgreSQL keeps the case of a quoted name).
    std::string resolve(const std::string& written) const {
        const GuardDialect d = context_.dialect;
        if (written.size() >= 2) {
            const char open = written.front();
            const bool quoted = (open == '"' && d != GuardDialect::MySQL) ||
                                (open == '`' && (d == GuardDialect::MySQL || d == GuardDialect::SQLite)) ||
                                (open == '[' && (d == GuardDialect::TSQL || d == GuardDialect::SQLite));
            if (quoted) {
                const char close = open == '[' ? ']' : open;
                std::string inner;
                const std::string body = written.substr(1, written.size() - 2);
                for (std::size_t i = 0; i < body.size(); ++i) {
                    inner += body[i];
                    if (body[i] == close && i + 1 < body.size() && body[i + 1] == close) ++i;
                }
                return d == GuardDialect::Postgres ? inner : lower(inner);
            }
        }
        return lower(written);
    }

    std::optional<Refusal> check_function(py::handle node, const std::string& cls) {
        py::object parent = node.attr("parent");
        const bool row_source =
            !parent.is_none() && py::isinstance(parent, table_) && parent.attr("this").ptr() == node.ptr();
        const std::string name = written_name(node);
        if (name.empty()) {
            if (syntax_function_allowed(cls)) return std::nullopt;
            return Refusal{
                "the function " + shown(node) + " (" + cls + ")",
                std::string("Queries may call only ") + allowed_function_kinds() + "; rewrite it without it."};
        }
        const bool allowed =
            row_source ? table_function_allowed(context_.dialect, name) : function_allowed(context_.dialect, name);
        if (!allowed) {
            return Refusal{"a call to " + name + "()" + (row_source ? " as a row source" : ""),
                           std::string("Queries may call only ") + allowed_function_kinds() +
                               "; rewrite the query without " + name + "()."};
        }
        if (std::find(functions.begin(), functions.end(), name) == functions.end()) functions.push_back(name);
        return std::nullopt;
    }

    // A table or column may name the handle's own schema, nothing further out.
    std::optional<Refusal> check_qualifiers(py::handle node, const char* what) {
        const std::string catalog = py::str(node.attr("catalog"));
        const std::string schema = py::str(node.attr("db"));
        if (catalog.empty() && (schema.empty() || same_name(schema, context_.schema, context_.dialect))) {
            if (std::string(what) == "table" && !node.attr("args").attr("get")("rows_from").is_none()) {
                return Refusal{"ROWS FROM (...)", advice::plain_select};
            }
            return std::nullopt;
        }
        return Refusal{
            "the " + std::string(what) + " " + shown(node) + ", which is outside " +
                (context_.schema.empty() ? std::string("the database's own tables") : "the schema " + context_.schema),
            "Name the database's tables without a database or schema prefix" +
                (context_.schema.empty() ? std::string(".") : ", or with " + context_.schema + ".")};
    }

    const GuardContext& context_;
    py::str text_;
    py::object func_, anonymous_, table_, column_, data_type_, identifier_;
};

// The tables each scope reads that are neither its WITH names nor derived tables.
std::vector<TableReference> read_tables(py::handle root) {
    py::object scope_class = zorvan::imported(zorvan::dep::sqlglot_optimizer_scope_Scope);
    std::vector<TableReference> tables;
    for (py::handle scope : zorvan::imported(zorvan::dep::sqlglot_optimizer_scope_traverse_scope)(root)) {
        py::object sources = scope.attr("sources");
        for (py::handle table : scope.attr("tables")) {
            TableReference reference{py::str(table.attr("name")), !std::string(py::str(table.attr("db"))).empty()};
            if (reference.name.empty()) continue;  // a function as a row source
            if (!reference.qualified && py::isinstance(sources.attr("get")(table.attr("alias_or_name")), scope_class)) {
                continue;
            }
            const bool seen = std::any_of(tables.begin(), tables.end(), [&](const TableReference& known) {
                return known.name == reference.name && known.qualified == reference.qualified;
            });
            if (!seen) tables.push_back(reference);
        }
    }
    return tables;
}

// What the first keyword says about a statement that is not a query.
std::optional<Refusal> check_tokens(const py::list& tokens) {
    if (auto kind = statement_kind(tokens)) return kind;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (std::string(py::str(tokens[i].attr("token_type").attr("name"))) != "INTO") continue;
        const std::string before = i > 0 ? upper(py::str(tokens[i - 1].attr("text"))) : std::string();
        const std::string next = i + 1 < tokens.size() ? upper(py::str(tokens[i + 1].attr("text"))) : std::string();
        if (before == "INSERT" || before == "REPLACE" || before == "MERGE") {
            return Refusal{"a data-changing statement (" + before + " INTO) inside the query", advice::one_query};
        }
        if (next == "OUTFILE" || next == "DUMPFILE") {
            return Refusal{"SELECT ... INTO " + next + ", which writes a file on the server",
                           "Remove INTO: the rows are returned to you."};
        }
        return Refusal{"SELECT ... INTO, which stores the result instead of returning it",
                       "Remove INTO: the rows are returned to you."};
    }
    return std::nullopt;
}

}  // namespace

GuardDialect guard_dialect_for(const std::string& sqlglot_dialect) {
    if (sqlglot_dialect == "mysql") return GuardDialect::MySQL;
    if (sqlglot_dialect == "tsql") return GuardDialect::TSQL;
    if (sqlglot_dialect == "sqlite") return GuardDialect::SQLite;
    return GuardDialect::Postgres;
}

CheckedQuery check_query(const std::string& sql, const GuardContext& context) {
    CheckedQuery checked;
    auto split = single_statement(py::str(sql), context.dialect);
    if (auto* refusal = std::get_if<Refusal>(&split)) {
        checked.refusal = *refusal;
        return checked;
    }
    const Statement& statement = std::get<Statement>(split);
    checked.statement = py::str(statement.text);
    if ((checked.refusal = check_tokens(statement.tokens))) return checked;

    const char* dialect = sqlglot_name(context.dialect);
    py::object root;
    try {
        std::vector<py::object> roots;
        for (py::handle tree :
             zorvan::imported(zorvan::dep::sqlglot_parse)(statement.text, py::arg("read") = dialect)) {
            if (!tree.is_none() && class_name(tree) != "Semicolon")
                roots.push_back(py::reinterpret_borrow<py::object>(tree));
        }
        if (roots.size() != 1) {
            checked.refusal =
                Refusal{roots.empty() ? "an empty statement" : std::to_string(roots.size()) + " statements in one text",
                        advice::one_query};
            return checked;
        }
        root = zorvan::imported(zorvan::dep::sqlglot_optimizer_normalize_identifiers_normalize_identifiers)(
            roots.front(), py::arg("dialect") = dialect);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        checked.refusal = unreadable(context.dialect, parse_problem(error));
        return checked;
    }

    py::module_ exp = zorvan::imported_module(zorvan::dep::sqlglot_expressions_module);
    if (!py::isinstance(root, exp.attr("Query")) && !py::isinstance(root, exp.attr("Values"))) {
        const std::string noun = statement_noun(class_name(root));
        checked.refusal =
            Refusal{with_article((noun.empty() ? class_name(root) : noun) + " statement"), advice::one_query};
        return checked;
    }
    Walker walker(context, statement.text);
    if ((checked.refusal = walker.check(root))) return checked;
    checked.functions = walker.functions;
    try {
        checked.tables = read_tables(root);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        checked.refusal = unreadable(context.dialect, parse_problem(error));
        return checked;
    }
    py::object outer = root;
    if (class_name(outer) == "Subquery") outer = outer.attr("this");
    const auto has = [&](const char* clause) {
        return !root.attr("args").attr("get")(clause).is_none() || !outer.attr("args").attr("get")(clause).is_none();
    };
    checked.has_limit = has("limit");
    checked.has_order = has("order");
    return checked;
}

}  // namespace zorvanai::custom_sql
