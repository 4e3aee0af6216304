#include "lexing_check.hpp"

#include <algorithm>
#include <set>
#include <vector>

#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string snippet(const std::string& text, std::size_t at) {
    std::string part = text.substr(at, 30);
    for (char& c : part) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return "'" + part + (text.size() - at > 30 ? "...'" : "'");
}

// Why the server would not read `gap` (text between two tokens, or at an
// end) as blanks and comments only; empty when it would. `at_end`: nothing
// follows the gap.
std::string gap_problem(const std::string& gap, GuardDialect dialect, bool at_end) {
    const bool mysql = dialect == GuardDialect::MySQL;
    const bool nesting = dialect == GuardDialect::Postgres || dialect == GuardDialect::TSQL;
    std::size_t i = 0;
    while (i < gap.size()) {
        const char c = gap[i];
        if (is_blank(c)) {
            ++i;
            continue;
        }
        const bool dashes = c == '-' && i + 1 < gap.size() && gap[i + 1] == '-';
        if (dashes || (mysql && c == '#')) {
            // MySQL starts a "--" comment only before a blank or a control character.
            if (dashes && mysql && i + 2 < gap.size() && static_cast<unsigned char>(gap[i + 2]) > ' ') {
                return "'--' without a blank after it, which the server does not read as a comment";
            }
            while (i < gap.size() && gap[i] != '\n' && gap[i] != '\r') ++i;
            continue;
        }
        if (c == '/' && i + 1 < gap.size() && gap[i + 1] == '*') {
            if (mysql) {
                const std::string head = gap.substr(i + 2, 2);
                if (!head.empty() && (head[0] == '!' || head[0] == '+' || head == "M!")) {
                    return "a comment the server executes or reads as a hint (" + snippet(gap, i) + ")";
                }
            }
            int depth = 1;
            std::size_t j = i + 2;
            while (j < gap.size() && depth > 0) {
                if (gap[j] == '*' && j + 1 < gap.size() && gap[j + 1] == '/') {
                    --depth;
                    j += 2;
                } else if (nesting && gap[j] == '/' && j + 1 < gap.size() && gap[j + 1] == '*') {
                    ++depth;
                    j += 2;
                } else {
                    ++j;
                }
            }
            if (depth > 0 && !(at_end && dialect == GuardDialect::SQLite)) {
                return "a comment that the server would end elsewhere (" + snippet(gap, i) + ")";
            }
            i = j;
            continue;
        }
        return "text that is neither SQL nor a comment (" + snippet(gap, i) + ")";
    }
    return "";
}

std::string type_of(py::handle token) {
    return py::str(token.attr("token_type").attr("name"));
}

std::string with_article(const std::string& noun) {
    const bool vowel = !noun.empty() && std::string("AEIOUaeiou").find(noun.front()) != std::string::npos;
    return (vowel ? "an " : "a ") + noun;
}

long start_of(py::handle token) {
    return token.attr("start").cast<long>();
}

long end_of(py::handle token) {
    return token.attr("end").cast<long>();
}

}  // namespace

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

Refusal unreadable(GuardDialect dialect, const std::string& problem) {
    return {"text that could not be checked as " + std::string(sqlglot_name(dialect)) + " SQL (" + problem + ")",
            advice::plain_select};
}

std::optional<Refusal> statement_kind(const py::list& tokens) {
    if (tokens.empty()) return std::nullopt;
    static const std::set<std::string> query_starts = {"SELECT", "WITH", "L_PAREN", "VALUES"};
    if (query_starts.count(type_of(tokens[0])) != 0) return std::nullopt;
    std::string word = py::str(tokens[0].attr("text"));
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return Refusal{with_article(word + " statement"), advice::one_query};
}

std::variant<Statement, Refusal> single_statement(const py::str& sql, GuardDialect dialect) {
    py::object reader =
        zorvan::imported(zorvan::dep::sqlglot_dialects_dialect_Dialect).attr("get_or_raise")(sqlglot_name(dialect));
    py::list tokens;
    try {
        tokens = py::list(reader.attr("tokenize")(sql));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return unreadable(dialect, parse_problem(error));
    }

    const long length = static_cast<long>(py::len(sql));
    long previous_end = -1;
    std::vector<py::list> statements(1);
    for (std::size_t i = 0; i <= tokens.size(); ++i) {
        const bool last = i == tokens.size();
        const long start = last ? length : start_of(tokens[i]);
        if (start > previous_end + 1) {
            const std::string gap = py::str(sql[py::slice(previous_end + 1, start, 1)]);
            const std::string problem = gap_problem(gap, dialect, last);
            if (!problem.empty()) {
                // A statement that is no query is named as such, however it reads.
                if (auto kind = statement_kind(tokens)) return *kind;
                return Refusal{problem, advice::plain_select};
            }
        }
        if (last) break;
        py::handle token = tokens[i];
        previous_end = end_of(token);
        // U&"..." names: sqlglot cannot resolve their escapes, the server can.
        if (dialect == GuardDialect::Postgres && type_of(token) == "AMP" && i > 0 && i + 1 < tokens.size()) {
            py::handle before = tokens[i - 1];
            const std::string word = py::str(before.attr("text"));
            if ((word == "U" || word == "u") && end_of(before) + 1 == start_of(token) &&
                start_of(tokens[i + 1]) == previous_end + 1) {
                return Refusal{"a Unicode-escaped name (U&\"...\")",
                               "Write the name plainly, in double quotes if "
                               "it needs them."};
            }
        }
        if (type_of(token) == "SEMICOLON") {
            if (!statements.back().empty()) statements.emplace_back();
        } else {
            statements.back().append(token);
        }
    }
    if (statements.back().empty()) statements.pop_back();
    if (statements.empty()) return Refusal{"an empty statement", advice::one_query};
    if (statements.size() > 1) {
        return Refusal{std::to_string(statements.size()) + " statements in one text", advice::one_query};
    }
    Statement statement;
    statement.tokens = statements.front();
    statement.offset = start_of(statement.tokens[0]);
    const long last_end = end_of(statement.tokens[statement.tokens.size() - 1]);
    statement.text = sql[py::slice(statement.offset, last_end + 1, 1)];
    return statement;
}

}  // namespace zorvanai::custom_sql
