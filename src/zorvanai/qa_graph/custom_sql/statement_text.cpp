#include "statement_text.hpp"

#include <set>
#include <variant>

#include "lexing_check.hpp"
#include "sql_guard.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

py::object compile_for(const py::object& statement, const py::object& dialect, const py::dict& options) {
    py::object translate =
        options.contains("schema_translate_map") ? py::object(options["schema_translate_map"]) : py::object(py::none());
    return statement.attr("compile")(py::arg("dialect") = dialect, py::arg("schema_translate_map") = translate,
                                     py::arg("render_schema_translate") = py::bool_(!translate.is_none()));
}

// The dialect's class with another placeholder style.
py::object dialect_with(const HandleConfig& config, const char* paramstyle) {
    py::object dialect = config.engine.attr("dialect");
    return py::type::of(dialect)(py::arg("paramstyle") = paramstyle);
}

GuardDialect dialect_of(const HandleConfig& config) {
    return guard_dialect_for(sqlglot_dialect(config.kind, config.dialect_name));
}

// `sql` from its first token to its last: no trailing semicolon or comment.
std::string trimmed(const HandleConfig& config, const std::string& sql) {
    auto split = single_statement(py::str(sql), dialect_of(config));
    if (auto* statement = std::get_if<Statement>(&split)) return py::str(statement->text);
    return sql;
}

}  // namespace

QueryText query_text(const HandleConfig& config, const py::object& command, const py::object& parameters,
                     const py::object& execution_options) {
    QueryText text;
    if (!execution_options.is_none()) {
        static const std::set<std::string> refused = {"isolation_level", "postgresql_readonly", "postgresql_deferrable",
                                                      "autocommit"};
        for (auto item : py::dict(execution_options)) {
            const std::string name = py::str(item.first);
            if (refused.count(name) != 0) {
                throw py::value_error("execution option " + name +
                                      " is not accepted: every query runs in a read-only transaction");
            }
            text.options[item.first] = item.second;
        }
    }
    const bool bound = !parameters.is_none() && py::len(parameters) > 0;
    py::object executable = zorvan::imported(zorvan::dep::sqlalchemy_sql_expression_Executable);
    if (py::isinstance<py::str>(command)) {
        text.given = py::str(command);
        if (!bound) {
            text.checked = text.given;
            text.statement = py::none();
            return text;
        }
        text.statement = zorvan::imported(zorvan::dep::sqlalchemy_text)(trimmed(config, text.given));
    } else if (py::isinstance(command, executable)) {
        text.statement = command;
        text.given = py::str(compile_for(command, config.engine.attr("dialect"), text.options));
    } else {
        throw py::type_error("Query expression has unknown type: " + std::string(py::str(py::type::of(command))));
    }
    if (bound) {
        zorvan::require_mapping(parameters, "parameters");
        text.statement = text.statement.attr("params")(**py::dict(parameters));
    }
    // A placeholder without a value fails here, before anything is sent.
    py::object named = compile_for(text.statement, dialect_with(config, "named"), text.options);
    text.checked = py::str(named.attr("construct_expanded_state")().attr("statement"));
    return text;
}

DriverText driver_text(const HandleConfig& config, const QueryText& text, const std::string& checked,
                       const std::string& paramstyle) {
    DriverText out;
    if (text.statement.is_none()) {
        out.sql = checked;
        out.parameters = py::none();
        return out;
    }
    py::object dialect = paramstyle.empty() ? config.engine.attr("dialect") : dialect_with(config, paramstyle.c_str());
    py::object state = compile_for(text.statement, dialect, text.options).attr("construct_expanded_state")();
    out.sql = trimmed(config, py::str(state.attr("statement")));
    py::object positions = state.attr("positiontup");
    py::dict values = state.attr("parameters");
    if (positions.is_none()) {
        out.parameters = values.empty() ? py::object(py::none()) : py::object(values);
    } else {
        py::list ordered;
        for (py::handle name : positions) ordered.append(values[name]);
        out.parameters = ordered.empty() ? py::object(py::none()) : py::object(py::tuple(ordered));
    }
    return out;
}

}  // namespace zorvanai::custom_sql
