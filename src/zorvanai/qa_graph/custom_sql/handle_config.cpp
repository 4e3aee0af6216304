#include "handle_config.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "guard_rules.hpp"
#include "zorvan/python_names.hpp"

namespace zorvanai::custom_sql {

ServerKind detect_server_kind(py::handle engine) {
    py::object dialect = engine.attr("dialect");
    const std::string name = py::str(dialect.attr("name"));
    if (name == "postgresql") return ServerKind::PostgreSQL;
    if (name == "mysql" || name == "mariadb") {
        const bool mariadb = py::hasattr(dialect, "is_mariadb") && py::bool_(dialect.attr("is_mariadb"));
        return mariadb ? ServerKind::MariaDB : ServerKind::MySQL;
    }
    if (name == "mssql") return ServerKind::MSSQL;
    if (name == "sqlite") return ServerKind::SQLite;
    return ServerKind::Other;
}

namespace {
constexpr std::pair<ServerKind, const char*> kServerKindNames[] = {{ServerKind::PostgreSQL, "postgresql"},
                                                                   {ServerKind::MySQL, "mysql"},
                                                                   {ServerKind::MariaDB, "mariadb"},
                                                                   {ServerKind::MSSQL, "mssql"},
                                                                   {ServerKind::SQLite, "sqlite"}};
}  // namespace

std::string server_kind_name(ServerKind kind) {
    for (const auto& [known, name] : kServerKindNames) {
        if (known == kind) return name;
    }
    return "other";
}

ServerKind server_kind_from_name(const std::string& name) {
    for (const auto& [kind, known] : kServerKindNames) {
        if (known == name) return kind;
    }
    return ServerKind::Other;
}

bool is_mysql_family(ServerKind kind) {
    return kind == ServerKind::MySQL || kind == ServerKind::MariaDB;
}

std::string sqlglot_dialect(ServerKind kind, const std::string& sqlalchemy_dialect) {
    if (kind != ServerKind::Other) {
        GuardDialect dialect = GuardDialect::Postgres;
        if (is_mysql_family(kind)) dialect = GuardDialect::MySQL;
        if (kind == ServerKind::MSSQL) dialect = GuardDialect::TSQL;
        if (kind == ServerKind::SQLite) dialect = GuardDialect::SQLite;
        return sqlglot_name(dialect);
    }
    py::dict known = zorvan::imported(zorvan::dep::sqlglot_dialects_dialect_Dialect).attr("classes");
    return known.contains(py::str(sqlalchemy_dialect)) ? sqlalchemy_dialect : std::string();
}

HandleConfig load_config(py::handle self) {
    py::dict state = self.attr("__dict__");
    if (!state.contains(attr::engine) || !state.contains(attr::server_kind)) {
        throw py::attribute_error("CustomSQLDatabase instance is not initialised (its __init__ did not run)");
    }
    HandleConfig config;
    config.engine = state[attr::engine];
    config.schema = state[attr::schema];
    config.kind = server_kind_from_name(py::str(state[attr::server_kind]));
    config.dialect_name = py::str(config.engine.attr("dialect").attr("name"));
    config.driver = py::str(config.engine.attr("dialect").attr("driver"));
    py::object timeout = state[attr::statement_timeout];
    config.statement_timeout = timeout.is_none() ? 0.0 : timeout.cast<double>();
    config.max_rows = state[attr::max_rows].cast<long>();
    config.sample_rows = state[attr::sample_rows].cast<long>();
    config.max_string_length = state[attr::max_string_length].cast<long>();
    config.indexes_in_table_info = py::bool_(state[attr::indexes]);
    config.view_support = py::bool_(state[attr::view_support]);
    config.custom_table_info = state[attr::custom_table_info];
    config.include_tables = state[attr::include_tables];
    config.ignore_tables = state[attr::ignore_tables];
    config.metadata = state[attr::metadata];
    config.query_schema = py::str(state[attr::query_schema]);
    config.sql_mode = py::str(state[attr::sql_mode]);
    config.max_result_bytes = state[attr::max_result_bytes].cast<long>();
    return config;
}

double client_step_limit(const HandleConfig& config) {
    return config.statement_timeout > 0 ? config.statement_timeout + 10.0 : 0.0;
}

std::string milliseconds_text(double seconds) {
    const double ms = std::ceil(seconds * 1000.0);
    return std::to_string(static_cast<long long>(ms < 1 ? 1 : ms));
}

}  // namespace zorvanai::custom_sql
