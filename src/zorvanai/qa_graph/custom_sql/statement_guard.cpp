#include "statement_guard.hpp"

#include <algorithm>
#include <cctype>
#include <set>
#include <vector>

#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string with_article(const std::string& noun) {
    const bool vowel = !noun.empty() && std::string("AEIOUaeiou").find(noun.front()) != std::string::npos;
    return (vowel ? "an " : "a ") + noun;
}

GuardVerdict refuse(std::string what) {
    GuardVerdict verdict;
    verdict.refused = std::move(what);
    return verdict;
}

std::string token_type(py::handle token) {
    return py::str(token.attr("token_type").attr("name"));
}

// Functions whose effect a read-only transaction does not stop: they act on
// other sessions or the server, outlive the transaction (session locks and
// settings on a pooled connection), or reach files and other databases.
const std::set<std::string>& outside_effect_functions() {
    static const std::set<std::string> names = {
        // PostgreSQL
        "pg_terminate_backend", "pg_cancel_backend", "pg_reload_conf", "pg_rotate_logfile", "pg_promote",
        "pg_switch_wal", "pg_create_restore_point", "set_config", "pg_advisory_lock", "pg_advisory_lock_shared",
        "pg_try_advisory_lock", "pg_try_advisory_lock_shared", "pg_advisory_unlock", "pg_advisory_unlock_shared",
        "pg_advisory_unlock_all", "dblink", "dblink_exec", "dblink_connect", "dblink_connect_u", "dblink_send_query",
        "lo_import", "lo_export", "pg_file_write", "pg_file_rename", "pg_file_unlink", "pg_read_file",
        "pg_read_binary_file", "pg_ls_dir",
        // MySQL / MariaDB
        "get_lock", "release_lock", "release_all_locks", "load_file", "sys_exec", "sys_eval"};
    return names;
}

// What a statement class that may not appear in a read query is called.
std::string statement_noun(py::handle node) {
    const std::string cls = py::str(py::type::of(node).attr("__name__"));
    if (cls == "TruncateTable") return "TRUNCATE";
    if (cls == "LoadData") return "LOAD DATA";
    if (cls == "Command") {
        const std::string keyword = upper(py::str(node.attr("this")));
        return keyword.empty() ? "command" : keyword;
    }
    if (cls == "Transaction" || cls == "Commit" || cls == "Rollback") return "transaction control (" + upper(cls) + ")";
    return upper(cls);
}

// The statement classes refused anywhere in a tree: everything that writes,
// defines, or acts on the session rather than reading.
py::tuple refused_classes() {
    static const char* names[] = {
        "DML",     "DDL",   "Insert",        "Update",   "Delete",   "Merge",       "Copy",     "Create",
        "Drop",    "Alter", "TruncateTable", "Command",  "Set",      "Transaction", "Commit",   "Rollback",
        "Use",     "Grant", "Revoke",        "LoadData", "Describe", "Show",        "Pragma",   "Analyze",
        "Execute", "Kill",  "Cache",         "Uncache",  "Refresh",  "Declare",     "Summarize"};
    py::module_ exp = py::module_::import("sqlglot.expressions");
    py::list found;
    for (const char* name : names) {
        if (py::hasattr(exp, name)) found.append(exp.attr(name));
    }
    return py::tuple(found);
}

// The leading keywords of a statement that does not start like a query.
// Some tokenizers keep the rest of a command (EXPLAIN ...) as one string
// token, so its options are looked for among the words of the next tokens.
std::string leading_keywords(const std::vector<py::object>& tokens) {
    std::string first = upper(py::str(tokens.front().attr("text")));
    if (first == "EXPLAIN" || first == "DESCRIBE" || first == "DESC") {
        std::string rest;
        for (std::size_t i = 1; i < tokens.size() && rest.size() < 80; ++i) {
            rest += " " + upper(py::str(tokens[i].attr("text")));
        }
        std::vector<std::string> words(1);
        for (char c : rest) {
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
                words.back() += c;
            } else if (!words.back().empty()) {
                words.emplace_back();
            }
        }
        for (std::size_t i = 0; i < words.size() && i < 8; ++i) {
            if (words[i] == "ANALYZE" || words[i] == "ANALYSE") return first + " ANALYZE";
        }
    }
    return first;
}

std::string parse_problem(py::error_already_set& error) {
    py::object value = error.value();
    if (py::hasattr(value, "errors")) {
        py::list errors = value.attr("errors");
        if (!errors.empty()) {
            py::dict first = errors[0];
            std::string text = py::str(first["description"]);
            if (first.contains("line") && first.contains("col")) {
                text += " at line " + std::string(py::str(first["line"])) + ", column " +
                        std::string(py::str(first["col"]));
            }
            return text;
        }
    }
    std::string text = py::str(value);
    const auto newline = text.find('\n');
    return newline == std::string::npos ? text : text.substr(0, newline);
}

GuardVerdict unreadable(const std::string& dialect, const std::string& problem) {
    return refuse("text that could not be checked as " + (dialect.empty() ? std::string("SQL") : dialect + " SQL") +
                  " (" + problem + "); rewrite it as one plain SELECT query");
}

}  // namespace

GuardVerdict check_statement(const std::string& sql, const std::string& dialect, bool mysql_family) {
    py::object dialect_class = zorvan::import_attr("sqlglot.dialects.dialect", "Dialect");
    py::object reader = dialect_class.attr("get_or_raise")(dialect.empty() ? py::object(py::none()) : py::str(dialect));
    const py::str text(sql);

    std::vector<py::object> all_tokens;
    try {
        for (py::handle token : reader.attr("tokenize")(text))
            all_tokens.push_back(py::reinterpret_borrow<py::object>(token));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return unreadable(dialect, parse_problem(error));
    }

    // Statements are told apart on the tokenizer's semicolons, so a second
    // statement is found whatever the parser makes of either.
    std::vector<std::vector<py::object>> statements(1);
    for (const py::object& token : all_tokens) {
        if (mysql_family) {
            for (py::handle comment : token.attr("comments")) {
                const std::string body = py::str(comment);
                if (body.rfind("!", 0) == 0 || body.rfind("M!", 0) == 0) {
                    return refuse("an executable comment (/*! ... */), which the server runs as SQL");
                }
            }
        }
        if (token_type(token) == "SEMICOLON") {
            if (!statements.back().empty()) statements.emplace_back();
        } else {
            statements.back().push_back(token);
        }
    }
    if (statements.back().empty()) statements.pop_back();
    if (statements.empty()) return refuse("an empty statement");
    if (statements.size() > 1) return refuse(std::to_string(statements.size()) + " statements in one text");

    const std::vector<py::object>& tokens = statements.front();
    static const std::set<std::string> query_starts = {"SELECT", "WITH", "L_PAREN", "VALUES", "TABLE"};
    if (query_starts.count(token_type(tokens.front())) == 0) {
        if (token_type(tokens.front()) == "VAR") {
            return unreadable(dialect, "it starts with '" + std::string(py::str(tokens.front().attr("text"))) +
                                           "', which is not a statement keyword");
        }
        return refuse(with_article(leading_keywords(tokens) + " statement"));
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (token_type(tokens[i]) != "INTO") continue;
        // INSERT INTO / MERGE INTO inside a WITH query: named by the parse below.
        const std::string before = i > 0 ? upper(py::str(tokens[i - 1].attr("text"))) : std::string();
        if (before == "INSERT" || before == "REPLACE" || before == "MERGE") continue;
        const std::string next = i + 1 < tokens.size() ? upper(py::str(tokens[i + 1].attr("text"))) : std::string();
        if (next == "OUTFILE" || next == "DUMPFILE") {
            return refuse("a SELECT ... INTO " + next + " statement, which writes a file on the server");
        }
        return refuse("a SELECT ... INTO statement, which stores the result instead of returning it");
    }

    const long first = tokens.front().attr("start").cast<long>();
    const long last = tokens.back().attr("end").cast<long>();
    const py::str statement = text[py::slice(first, last + 1, 1)];

    py::list trees;
    try {
        trees = py::module_::import("sqlglot").attr("parse")(statement, py::arg("read") = reader);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return unreadable(dialect, parse_problem(error));
    }
    std::vector<py::object> roots;
    for (py::handle tree : trees) {
        if (!tree.is_none()) roots.push_back(py::reinterpret_borrow<py::object>(tree));
    }
    if (roots.empty()) return refuse("an empty statement");
    if (roots.size() > 1) return refuse(std::to_string(roots.size()) + " statements in one text");

    py::module_ exp = py::module_::import("sqlglot.expressions");
    const py::object& root = roots.front();
    const py::tuple refused = refused_classes();
    if (!py::isinstance(root, exp.attr("Query")) && !py::isinstance(root, exp.attr("Values"))) {
        return refuse(with_article(statement_noun(root) + " statement"));
    }
    for (py::handle node : root.attr("walk")()) {
        if (py::isinstance(node, refused)) {
            const std::string noun = statement_noun(node);
            if (!node.attr("find_ancestor")(exp.attr("CTE")).is_none()) {
                return refuse("a data-modifying WITH query (" + noun + " inside WITH)");
            }
            return refuse("a query that contains " + with_article(noun + " statement"));
        }
        if (py::isinstance(node, exp.attr("Into"))) {
            return refuse("a SELECT ... INTO statement, which stores the result instead of returning it");
        }
        if (py::isinstance(node, exp.attr("Lock"))) {
            return refuse("a locking read (SELECT ... FOR UPDATE / FOR SHARE)");
        }
        if (py::isinstance(node, exp.attr("Func"))) {
            const std::string name = py::isinstance(node, exp.attr("Anonymous"))
                                         ? std::string(py::str(node.attr("name")))
                                         : std::string(py::str(py::type::of(node).attr("sql_name")()));
            if (outside_effect_functions().count(lower(name)) != 0) {
                return refuse("a call to " + lower(name) + "(), which acts outside the transaction");
            }
        }
    }

    GuardVerdict verdict;
    verdict.allowed = true;
    verdict.statement = statement;
    return verdict;
}

std::string refusal_message(const std::string& refused) {
    return "The assistant runs read-only, so this statement was refused: " + refused +
           ". Send a single query that only reads data (SELECT, WITH ... SELECT, or SELECTs joined by UNION).";
}

void raise_refusal(const GuardVerdict& verdict, const std::string& sql) {
    py::object error_class = zorvan::import_attr("zorvanai.qa_graph.custom_sql", "ReadOnlyQueryError");
    py::object error = error_class(refusal_message(verdict.refused));
    error.attr("refused") = verdict.refused;
    error.attr("statement") = sql;
    PyErr_SetObject(error_class.ptr(), error.ptr());
    throw py::error_already_set();
}

}  // namespace zorvanai::custom_sql
