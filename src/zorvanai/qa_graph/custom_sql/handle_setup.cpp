#include "handle_setup.hpp"

#include <cmath>
#include <set>
#include <vector>

#include "catalogue.hpp"
#include "handle_config.hpp"
#include "privileges.hpp"
#include "read_only_session.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

// SQL modes that leave the lexing and the meaning of a query as the query
// check reads it (no ANSI_QUOTES, NO_BACKSLASH_ESCAPES, PIPES_AS_CONCAT,
// IGNORE_SPACE, HIGH_NOT_PRECEDENCE, ORACLE, ...): the pinned mode is the
// server's own mode restricted to them.
const std::set<std::string>& neutral_sql_modes() {
    static const std::set<std::string> modes = {"REAL_AS_FLOAT",
                                                "ONLY_FULL_GROUP_BY",
                                                "NO_UNSIGNED_SUBTRACTION",
                                                "NO_DIR_IN_CREATE",
                                                "NO_AUTO_VALUE_ON_ZERO",
                                                "NO_ZERO_IN_DATE",
                                                "NO_ZERO_DATE",
                                                "ALLOW_INVALID_DATES",
                                                "ERROR_FOR_DIVISION_BY_ZERO",
                                                "NO_AUTO_CREATE_USER",
                                                "STRICT_TRANS_TABLES",
                                                "STRICT_ALL_TABLES",
                                                "NO_ENGINE_SUBSTITUTION",
                                                "PAD_CHAR_TO_FULL_LENGTH",
                                                "EMPTY_STRING_IS_NULL",
                                                "SIMULTANEOUS_ASSIGNMENT",
                                                "TIME_ROUND_FRACTIONAL",
                                                "NO_FIELD_OPTIONS",
                                                "NO_KEY_OPTIONS",
                                                "NO_TABLE_OPTIONS"};
    return modes;
}

std::string pinned_sql_mode(const std::string& server_mode) {
    std::string pinned;
    std::string flag;
    for (char c : server_mode + ",") {
        if (c != ',') {
            flag += c;
            continue;
        }
        if (neutral_sql_modes().count(flag) != 0) pinned += (pinned.empty() ? "" : ",") + flag;
        flag.clear();
    }
    return pinned;
}

py::set to_set(const py::object& values) {
    py::set out;
    if (values.is_none()) return out;
    for (py::handle value : values) out.add(value);
    return out;
}

bool truthy(const py::object& value) {
    return !value.is_none() && py::bool_(value);
}

double checked_timeout(const py::object& value, const char* name) {
    if (value.is_none()) return 0.0;
    if (py::isinstance<py::bool_>(value) || !(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value))) {
        throw py::type_error(std::string(name) + " must be a number of seconds or None, not " +
                             zorvan::type_name(value));
    }
    const double seconds = value.cast<double>();
    if (!(seconds >= 0) || std::isinf(seconds)) {
        throw py::value_error(std::string(name) + " must be 0 or more seconds (0 or None: no limit)");
    }
    return seconds;
}

long checked_result_bytes(const py::object& value) {
    py::object chosen = value;
    if (chosen.is_none()) {
        py::object text = zorvan::imported(zorvan::dep::os_environ).attr("get")("ZORVAN_DB_RESULT_BYTES");
        if (text.is_none() || std::string(py::str(text)).empty()) return kDefaultResultBytes;
        const std::string digits = py::str(text);
        const bool numeric = digits.find_first_not_of("0123456789") == std::string::npos && digits.size() < 12;
        if (!numeric || std::stol(digits) < 1024) {
            throw py::value_error("ZORVAN_DB_RESULT_BYTES must be a whole number of bytes, 1024 or more, not '" +
                                  digits + "'");
        }
        return std::stol(digits);
    }
    if (py::isinstance<py::bool_>(chosen) || !py::isinstance<py::int_>(chosen) || chosen.cast<long>() < 1024) {
        throw py::value_error("max_result_bytes must be a whole number of bytes, 1024 or more");
    }
    return chosen.cast<long>();
}

// Time limits for the drivers that take them: connecting to an unreachable
// server fails in time, and a read that waits longer than the statement
// limit and its margin gives up (MySQL drivers; PostgreSQL is watched by
// the query runner instead). PostgreSQL keepalives notice a vanished peer.
py::dict driver_arguments(const std::string& driver, double connect_timeout, double statement_timeout) {
    py::dict args;
    const long connect = static_cast<long>(std::ceil(connect_timeout));
    // Later than the query runner's own limit (the statement limit + 10 s),
    // which gives the clearer error.
    const long read = statement_timeout > 0 ? static_cast<long>(std::ceil(statement_timeout)) + 15 : 0;
    if (driver == "psycopg2" || driver == "psycopg" || driver == "psycopg2cffi") {
        if (connect > 0) args["connect_timeout"] = connect;
        if (driver != "psycopg") {
            args["keepalives"] = 1;
            args["keepalives_idle"] = 30;
            args["keepalives_interval"] = 10;
            args["keepalives_count"] = 3;
        }
    } else if (driver == "mysqlconnector" || driver == "pymysql" || driver == "mysqldb" ||
               driver == "mariadbconnector") {
        if (connect > 0) args[driver == "mysqlconnector" ? "connection_timeout" : "connect_timeout"] = connect;
        if (read > 0) {
            args["read_timeout"] = read;
            args["write_timeout"] = read;
        }
        // One statement per call: a second one in the text is a syntax error.
        if (driver == "mysqlconnector") {
            py::object flags = zorvan::imported(zorvan::dep::mysql_connector_constants_ClientFlag);
            py::list client_flags;
            client_flags.append(-flags.attr("MULTI_STATEMENTS").cast<long>());
            args["client_flags"] = client_flags;
        }
    } else if (driver == "pyodbc") {
        if (connect > 0) args["timeout"] = connect;
    } else if (driver == "pymssql") {
        if (connect > 0) args["login_timeout"] = connect;
    }
    return args;
}

// A SQLite file is opened read-only (the file must exist).
py::object read_only_sqlite(const py::object& url) {
    py::object database = url.attr("database");
    // A copy: the URL's own mapping is immutable.
    py::dict query = zorvan::imported(zorvan::dep::builtins_dict)(url.attr("query"));
    if (database.is_none() || std::string(py::str(database)).empty() || std::string(py::str(database)) == ":memory:" ||
        query.contains("mode")) {
        return url;
    }
    std::string path = py::str(database);
    if (path.rfind("file:", 0) == 0) return url;
    py::object quoted = zorvan::imported(zorvan::dep::urllib_parse_quote)(path, py::arg("safe") = "/");
    query["mode"] = "ro";
    query["uri"] = "true";
    return url.attr("set")(py::arg("database") = py::str("file:") + quoted, py::arg("query") = query);
}

struct ServerFacts {
    std::string query_schema;
    std::string sql_mode;
    std::vector<std::string> risks;
};

ServerFacts learn_server(const py::object& connection, ServerKind kind, const py::object& schema) {
    ServerFacts facts;
    const auto scalar = [&connection](const char* sql) {
        py::object value = connection.attr("exec_driver_sql")(sql).attr("scalar")();
        return value.is_none() ? std::string() : std::string(py::str(value));
    };
    if (!schema.is_none()) {
        facts.query_schema = py::str(schema);
    } else if (kind == ServerKind::PostgreSQL) {
        facts.query_schema = scalar("SELECT current_schema()");
    } else if (is_mysql_family(kind)) {
        facts.query_schema = scalar("SELECT DATABASE()");
    } else if (kind == ServerKind::MSSQL) {
        facts.query_schema = scalar("SELECT SCHEMA_NAME()");
    } else if (kind == ServerKind::SQLite) {
        facts.query_schema = "main";
    }
    if (is_mysql_family(kind)) facts.sql_mode = pinned_sql_mode(scalar("SELECT @@SESSION.sql_mode"));
    facts.risks = privilege_risks(connection, kind, facts.query_schema);
    return facts;
}

void check_listed_tables(const HandleConfig& config, const py::object& include_tables, const py::object& ignore_tables,
                         const py::object& custom_table_info) {
    if (!truthy(include_tables) && !truthy(ignore_tables) && !truthy(custom_table_info)) return;
    ReadOnlySession session(config);
    const std::vector<std::string> all = list_tables(session, config);
    const std::set<std::string> present(all.begin(), all.end());
    for (const char* which : {"include_tables", "ignore_tables"}) {
        py::set wanted = to_set(std::string(which) == "include_tables" ? include_tables : ignore_tables);
        py::set missing;
        for (py::handle name : wanted) {
            if (present.count(py::str(name)) == 0) missing.add(name);
        }
        if (!missing.empty()) {
            throw py::value_error(std::string(which) + " " + std::string(py::repr(missing)) + " not found in database");
        }
    }
    // A definition for a table the model cannot query would only mislead it.
    if (truthy(custom_table_info)) {
        const std::vector<std::string> usable = usable_tables(config, all);
        const std::set<std::string> offered(usable.begin(), usable.end());
        py::set unknown;
        for (auto item : py::dict(custom_table_info)) {
            if (!py::isinstance<py::str>(item.first) || offered.count(py::str(item.first)) == 0)
                unknown.add(item.first);
        }
        if (!unknown.empty()) {
            throw py::value_error("custom_table_info " + std::string(py::repr(unknown)) +
                                  " not found among the usable tables");
        }
    }
}

}  // namespace

void initialise(py::object self, py::object engine, py::object schema, py::object metadata, py::object ignore_tables,
                py::object include_tables, py::object sample_rows, py::object indexes, py::object custom_table_info,
                py::object view_support, py::object max_string_length, py::object statement_timeout,
                py::object max_rows, py::object max_result_bytes, py::object strict) {
    if (!py::isinstance(engine, zorvan::imported(zorvan::dep::sqlalchemy_engine_Engine))) {
        throw py::type_error("engine must be a sqlalchemy Engine, not " + zorvan::type_name(engine));
    }
    if (truthy(include_tables) && truthy(ignore_tables)) {
        throw py::value_error("Cannot specify both include_tables and ignore_tables");
    }
    if (!py::isinstance<py::int_>(sample_rows)) throw py::type_error("sample_rows_in_table_info must be an integer");
    if (!custom_table_info.is_none() && !py::isinstance<py::dict>(custom_table_info)) {
        throw py::type_error(
            "table_info must be a dictionary with table names as keys and the desired table info as values");
    }
    if (!py::isinstance<py::int_>(max_string_length)) throw py::type_error("max_string_length must be an integer");
    const double timeout = checked_timeout(statement_timeout, "statement_timeout");
    if (py::isinstance<py::bool_>(max_rows) || !py::isinstance<py::int_>(max_rows) || max_rows.cast<long>() < 1) {
        throw py::value_error("max_rows must be a whole number of 1 or more");
    }
    const long result_bytes = checked_result_bytes(max_result_bytes);
    const bool strict_login = strict_mode(strict);

    py::setattr(self, attr::engine, engine);
    py::setattr(self, attr::schema, schema);
    py::setattr(self, attr::include_tables, to_set(truthy(include_tables) ? include_tables : py::none()));
    py::setattr(self, attr::ignore_tables, to_set(truthy(ignore_tables) ? ignore_tables : py::none()));
    py::setattr(self, attr::sample_rows, sample_rows);
    py::setattr(self, attr::indexes, py::bool_(truthy(indexes)));
    py::setattr(self, attr::custom_table_info,
                custom_table_info.is_none() ? py::object(py::none()) : py::object(py::dict(custom_table_info)));
    py::setattr(self, attr::max_string_length, max_string_length);
    py::setattr(self, attr::view_support, py::bool_(truthy(view_support)));
    py::setattr(self, attr::metadata,
                metadata.is_none() ? zorvan::imported(zorvan::dep::sqlalchemy_MetaData)() : metadata);
    py::setattr(self, attr::statement_timeout, timeout > 0 ? py::object(py::float_(timeout)) : py::object(py::none()));
    py::setattr(self, attr::max_rows, max_rows);
    py::setattr(self, attr::max_result_bytes, py::int_(result_bytes));

    // The one connection made here: a bad address or an unreachable server
    // fails now, with the driver's own error; the dialect also learns the
    // server version (MariaDB or MySQL).
    ServerFacts facts;
    {
        py::object connection = engine.attr("connect")();
        try {
            const ServerKind kind = detect_server_kind(engine);
            facts = learn_server(connection, kind, schema);
            connection.attr("rollback")();
        } catch (...) {
            connection.attr("close")();
            throw;
        }
        connection.attr("close")();
    }
    py::setattr(self, attr::server_kind, py::str(server_kind_name(detect_server_kind(engine))));
    py::setattr(self, attr::query_schema, py::str(facts.query_schema));
    py::setattr(self, attr::sql_mode, py::str(facts.sql_mode));
    py::list risks;
    for (const std::string& risk : facts.risks) risks.append(py::str(risk));
    py::setattr(self, attr::privilege_risks, py::tuple(risks));
    py::object login = engine.attr("url").attr("username");
    enforce_least_privilege(facts.risks, strict_login, login.is_none() ? std::string() : std::string(py::str(login)));

    check_listed_tables(load_config(self), include_tables, ignore_tables, custom_table_info);
}

py::object from_uri(py::object cls, py::object database_uri, py::object engine_args, py::object connect_timeout,
                    py::kwargs kwargs) {
    py::module_ sa = zorvan::imported_module(zorvan::dep::sqlalchemy_module);
    py::object url = sa.attr("engine").attr("make_url")(database_uri);
    py::dict args;
    if (!engine_args.is_none()) args = py::dict(engine_args);
    if (!args.contains("pool_pre_ping")) args["pool_pre_ping"] = py::bool_(true);
    if (!args.contains("pool_recycle")) args["pool_recycle"] = py::int_(1800);
    py::dict connect_args;
    if (args.contains("connect_args") && !args["connect_args"].is_none()) connect_args = py::dict(args["connect_args"]);

    const double connect = checked_timeout(connect_timeout, "connect_timeout");
    const double statement = kwargs.contains("statement_timeout")
                                 ? checked_timeout(kwargs["statement_timeout"], "statement_timeout")
                                 : kDefaultStatementTimeout;
    if (std::string(py::str(url.attr("get_backend_name")())) == "sqlite") url = read_only_sqlite(url);
    const std::string driver = py::str(url.attr("get_driver_name")());
    py::object query = url.attr("query");
    for (auto item : driver_arguments(driver, connect, statement)) {
        if (!connect_args.contains(item.first) && !query.contains(item.first)) connect_args[item.first] = item.second;
    }
    args["connect_args"] = connect_args;
    py::object engine = sa.attr("create_engine")(url, **args);
    return cls(engine, **kwargs);
}

}  // namespace zorvanai::custom_sql
