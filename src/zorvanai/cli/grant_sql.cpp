// `zorvanai db grant-sql`: the SQL that creates a login which may only read
// the tables of one schema, for the administrator to run. Nothing is run
// here, and no password is printed: the administrator chooses one.
#include <cctype>
#include <map>

#include "cli.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

namespace {

std::string option_or_environment(const py::object& args, const char* option, const char* variable) {
    py::object given = args.attr(option);
    if (!given.is_none()) return py::str(given);
    py::object value = zorvan::imported(zorvan::dep::os_environ).attr("get")(variable);
    return value.is_none() ? std::string() : std::string(py::str(value));
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string quoted(const std::string& name, char open, char close) {
    std::string text(1, open);
    for (char c : name) {
        text += c;
        if (c == close) text += c;
    }
    return text + close;
}

std::string postgres_sql(const std::string& database, const std::string& schema, const std::string& role) {
    const std::string r = quoted(role, '"', '"');
    const std::string s = quoted(schema, '"', '"');
    const std::string d = quoted(database, '"', '"');
    return "-- A login that may only read the tables of schema " + s + " of database " + d +
           R"(.
-- Run this as the owner of those tables, then give the login a password
-- (in psql: \password )" +
           r +
           R"().
CREATE ROLE )" +
           r +
           R"( LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE NOINHERIT;
GRANT CONNECT ON DATABASE )" +
           d + " TO " + r +
           R"(;
GRANT USAGE ON SCHEMA )" +
           s + " TO " + r +
           R"(;
GRANT SELECT ON ALL TABLES IN SCHEMA )" +
           s + " TO " + r +
           R"(;
ALTER DEFAULT PRIVILEGES IN SCHEMA )" +
           s + " GRANT SELECT ON TABLES TO " + r +
           R"(;
ALTER ROLE )" +
           r +
           R"( SET default_transaction_read_only = on;
-- Every role may create temporary tables in a database unless that is taken from PUBLIC,
-- which affects every role that was not given it by name:
--   REVOKE TEMPORARY ON DATABASE )" +
           d + " FROM PUBLIC;\n";
}

std::string mysql_sql(const std::string& database, const std::string& role, const std::string& host) {
    const std::string account = quoted(role, '\'', '\'') + "@" + quoted(host, '\'', '\'');
    return "-- A login that may only read the tables of database " + quoted(database, '`', '`') +
           R"(.
-- Put a password of your choice in place of <password> before you run this.
CREATE USER )" +
           account +
           R"( IDENTIFIED BY '<password>';
GRANT SELECT, SHOW VIEW ON )" +
           quoted(database, '`', '`') + ".* TO " + account + ";\n";
}

std::string mssql_sql(const std::string& database, const std::string& schema, const std::string& role) {
    const std::string r = quoted(role, '[', ']');
    const std::string s = quoted(schema, '[', ']');
    return "-- A login that may only read the tables of schema " + s + " of database " + quoted(database, '[', ']') +
           R"(.
-- Put a password of your choice in place of <password> before you run this.
CREATE LOGIN )" +
           r +
           R"( WITH PASSWORD = '<password>';
USE )" + quoted(database, '[', ']') +
           R"(;
CREATE USER )" +
           r + " FOR LOGIN " + r +
           R"(;
GRANT SELECT ON SCHEMA::)" +
           s + " TO " + r +
           R"(;
DENY INSERT, UPDATE, DELETE, ALTER, EXECUTE ON SCHEMA::)" +
           s + " TO " + r + ";\n";
}

}  // namespace

int db_command(const py::object& args, const Streams& streams) {
    static const std::map<std::string, std::string> engines = {
        {"postgresql", "postgresql"}, {"postgres", "postgresql"}, {"mysql", "mysql"},  {"mariadb", "mysql"},
        {"mssql", "mssql"},           {"sqlserver", "mssql"},     {"sqlite", "sqlite"}};
    const std::string engine_text = option_or_environment(args, "engine", "ZORVAN_DB_ENGINE");
    const std::string database = option_or_environment(args, "database", "ZORVAN_DB_NAME");
    if (engine_text.empty() || database.empty()) {
        throw CommandError(
            "grant-sql needs the engine and the database: --engine and --database, or "
            "ZORVAN_DB_ENGINE and ZORVAN_DB_NAME",
            kExitUsage);
    }
    auto engine = engines.find(lower(engine_text));
    if (engine == engines.end()) {
        throw CommandError("--engine must be PostgreSQL, MySQL or MsSQL, not '" + engine_text + "'", kExitUsage);
    }
    if (engine->second == "sqlite") {
        throw CommandError("SQLite has no logins: the assistant opens the database file read-only", kExitUsage);
    }
    const std::string role = py::str(args.attr("role"));
    std::string schema = args.attr("schema").is_none() ? std::string() : std::string(py::str(args.attr("schema")));
    std::string sql;
    if (engine->second == "postgresql") {
        sql = postgres_sql(database, schema.empty() ? "public" : schema, role);
    } else if (engine->second == "mysql") {
        sql = mysql_sql(schema.empty() ? database : schema, role, py::str(args.attr("host")));
    } else {
        sql = mssql_sql(database, schema.empty() ? "dbo" : schema, role);
    }
    write(streams.out, sql);
    return kExitOk;
}

}  // namespace zorvanai::cli
