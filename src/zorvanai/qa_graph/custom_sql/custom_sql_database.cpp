#include "custom_sql_database.hpp"

#include <cmath>
#include <set>
#include <vector>

#include "catalogue.hpp"
#include "handle_config.hpp"
#include "query_runner.hpp"
#include "read_only_session.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::custom_sql {

namespace {

constexpr double kDefaultStatementTimeout = 60.0;
constexpr double kDefaultConnectTimeout = 10.0;
constexpr long kDefaultMaxRows = 200;
// A client-side read limit, beyond the server's statement limit, for a
// server that stops answering altogether.
constexpr long kReadTimeoutMargin = 30;

py::list to_list(const std::vector<std::string>& names) {
    py::list out;
    for (const std::string& name : names) out.append(py::str(name));
    return out;
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

// Connection-time (and, for MySQL drivers, read) limits for the drivers
// that take them, so that connecting to an unreachable server fails in time.
py::dict driver_timeouts(const std::string& driver, double connect_timeout, double statement_timeout) {
    py::dict args;
    const long connect = static_cast<long>(std::ceil(connect_timeout));
    const long read = statement_timeout > 0 ? static_cast<long>(std::ceil(statement_timeout)) + kReadTimeoutMargin : 0;
    if (driver == "psycopg2" || driver == "psycopg" || driver == "psycopg2cffi") {
        if (connect > 0) args["connect_timeout"] = connect;
        if (driver != "psycopg") {
            // Notice a peer that vanished without closing the connection.
            args["keepalives"] = 1;
            args["keepalives_idle"] = 30;
            args["keepalives_interval"] = 10;
            args["keepalives_count"] = 3;
        }
    } else if (driver == "mysqlconnector") {
        if (connect > 0) args["connection_timeout"] = connect;
        if (read > 0) {
            args["read_timeout"] = read;
            args["write_timeout"] = read;
        }
    } else if (driver == "pymysql" || driver == "mysqldb" || driver == "mariadbconnector") {
        if (connect > 0) args["connect_timeout"] = connect;
        if (read > 0) {
            args["read_timeout"] = read;
            args["write_timeout"] = read;
        }
    } else if (driver == "pyodbc") {
        if (connect > 0) args["timeout"] = connect;
    } else if (driver == "pymssql") {
        if (connect > 0) args["login_timeout"] = connect;
    }
    return args;
}

void initialise(py::object self, py::object engine, py::object schema, py::object metadata, py::object ignore_tables,
                py::object include_tables, py::object sample_rows, py::object indexes, py::object custom_table_info,
                py::object view_support, py::object max_string_length, py::object /*lazy_table_reflection*/,
                py::object statement_timeout, py::object max_rows) {
    if (!py::isinstance(engine, zorvan::import_attr("sqlalchemy.engine", "Engine"))) {
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
    py::setattr(self, attr::metadata, metadata.is_none() ? zorvan::import_attr("sqlalchemy", "MetaData")() : metadata);
    py::setattr(self, attr::statement_timeout, timeout > 0 ? py::object(py::float_(timeout)) : py::object(py::none()));
    py::setattr(self, attr::max_rows, max_rows);

    // The one connection made here: a bad address or an unreachable server
    // fails now, with the driver's own error; the dialect also learns the
    // server version (MariaDB or MySQL).
    engine.attr("connect")().attr("close")();
    py::setattr(self, attr::server_kind, py::str(server_kind_name(detect_server_kind(engine))));

    const HandleConfig config = load_config(self);
    if (truthy(include_tables) || truthy(ignore_tables)) {
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
                throw py::value_error(std::string(which) + " " + std::string(py::repr(missing)) +
                                      " not found in database");
            }
        }
    }
}

py::object from_uri(py::object cls, py::object database_uri, py::object engine_args, py::object connect_timeout,
                    py::kwargs kwargs) {
    py::module_ sa = py::module_::import("sqlalchemy");
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
    const std::string driver = py::str(url.attr("get_driver_name")());
    py::object query = url.attr("query");
    for (auto item : driver_timeouts(driver, connect, statement)) {
        if (!connect_args.contains(item.first) && !query.contains(item.first)) connect_args[item.first] = item.second;
    }
    args["connect_args"] = connect_args;
    py::object engine = sa.attr("create_engine")(url, **args);
    return cls(engine, **kwargs);
}

py::object run(py::object self, py::object command, py::object fetch, py::object include_columns, py::object parameters,
               py::object execution_options) {
    const HandleConfig config = load_config(self);
    const FetchMode mode = parse_fetch(fetch);
    const FetchedRows fetched = fetch_rows(config, command, parameters, execution_options, mode);
    return py::str(render_rows(fetched, truthy(include_columns), config.max_string_length,
                               mode == FetchMode::One ? 1 : config.max_rows));
}

py::object table_info(py::object self, py::object table_names, py::object column_comments) {
    const HandleConfig config = load_config(self);
    ReadOnlySession session(config);
    std::vector<std::string> names;
    if (table_names.is_none()) {
        names = usable_tables(config, list_tables(session, config));
    } else {
        // Only the asked-for names are looked up, not the whole schema.
        std::vector<std::string> asked;
        py::set missing;
        for (py::handle name : table_names) {
            if (py::isinstance<py::str>(name)) {
                asked.push_back(py::str(name));
            } else {
                missing.add(name);
            }
        }
        const std::vector<std::string> usable = usable_tables(config, find_tables(session, config, asked));
        const std::set<std::string> present(usable.begin(), usable.end());
        for (const std::string& name : asked) {
            if (present.count(name) == 0) {
                missing.add(py::str(name));
            } else {
                names.push_back(name);
            }
        }
        if (!missing.empty()) {
            throw py::value_error("table_names " + std::string(py::repr(missing)) + " not found in database");
        }
    }
    return py::str(describe_tables(session, config, names, truthy(column_comments)));
}

std::vector<std::string> current_usable_tables(py::object self) {
    const HandleConfig config = load_config(self);
    ReadOnlySession session(config);
    return usable_tables(config, list_tables(session, config));
}

}  // namespace

py::object make_error_class(const std::string& module_name) {
    zorvan::ClassBuilder builder("ReadOnlyQueryError", module_name,
                                 zorvan::import_attr("sqlalchemy.exc", "SQLAlchemyError"));
    builder
        .doc(
            "A statement refused because the assistant runs read-only.\n\n"
            "A SQLAlchemyError, so that callers that record database errors record it too.\n"
            "``refused`` says what was refused (\"a DELETE statement\"), ``statement`` is the text.")
        .attr("refused", py::none())
        .attr("statement", py::none());
    return builder.build();
}

py::object make_database_class(const std::string& module_name) {
    using zorvan::ClassBuilder;
    ClassBuilder builder("CustomSQLDatabase", module_name,
                         zorvan::import_attr("langchain_community.utilities", "SQLDatabase"));
    builder.doc(
        "Handle on the one database that an assistant answers questions about.\n\n"
        "A LangChain ``SQLDatabase`` (its SQL tools accept it) whose work is:\n"
        "- read-only: ``run`` accepts only one query that reads (checked with sqlglot) and runs it\n"
        "  in a read-only transaction that is rolled back; a refusal raises ReadOnlyQueryError;\n"
        "- time-limited: every statement ends after ``statement_timeout`` seconds (default 60);\n"
        "- capped: at most ``max_rows`` rows (default 200) are read and shown, with a closing line\n"
        "  saying how many were left out;\n"
        "- lazy: making the handle makes one connection; listing tables is one catalogue query;\n"
        "  definitions are read only for the tables asked for.");

    builder.method(
        "__init__",
        "(self, engine, schema=None, metadata=None, ignore_tables=None, include_tables=None, "
        "sample_rows_in_table_info=3, indexes_in_table_info=False, custom_table_info=None, view_support=False, "
        "max_string_length=300, lazy_table_reflection=True, statement_timeout=60, max_rows=200)",
        "Keep the engine and settings and make one connection to check the server.\n\n"
        "Tables are never reflected here (lazy_table_reflection is accepted for compatibility).\n"
        "statement_timeout: seconds per statement (0 or None: no limit). max_rows: rows shown by run.",
        &initialise, py::arg("self"), py::arg("engine"), py::arg("schema") = py::none(),
        py::arg("metadata") = py::none(), py::arg("ignore_tables") = py::none(), py::arg("include_tables") = py::none(),
        py::arg("sample_rows_in_table_info") = 3, py::arg("indexes_in_table_info") = false,
        py::arg("custom_table_info") = py::none(), py::arg("view_support") = false, py::arg("max_string_length") = 300,
        py::arg("lazy_table_reflection") = true, py::arg("statement_timeout") = kDefaultStatementTimeout,
        py::arg("max_rows") = kDefaultMaxRows);

    builder.classmethod("from_uri", "(cls, database_uri, engine_args=None, connect_timeout=10, **kwargs)",
                        "Make a handle from a SQLAlchemy URL.\n\n"
                        "The engine pools its connections and checks each before use (pool_pre_ping); the driver\n"
                        "gets a connect time-out of connect_timeout seconds. Further keywords go to the constructor.\n"
                        "An unknown scheme or unreachable server raises SQLAlchemy's or the driver's error here.",
                        &from_uri, py::arg("cls"), py::arg("database_uri"), py::arg("engine_args") = py::none(),
                        py::arg("connect_timeout") = kDefaultConnectTimeout);

    builder.property("dialect", "SQLAlchemy's short name of the database dialect (\"postgresql\", \"mysql\", ...).",
                     [](py::object self) { return py::str(load_config(self).dialect_name); });
    builder.property("statement_timeout", "Seconds each statement may run, or None for no limit.",
                     [](py::object self) { return py::object(self.attr(attr::statement_timeout)); });
    builder.property("max_rows", "Rows that run shows at most.",
                     [](py::object self) { return py::object(self.attr(attr::max_rows)); });

    builder.method(
        "get_usable_table_names", "(self)", "Names of the usable tables, sorted (one catalogue query).",
        [](py::object self) { return to_list(current_usable_tables(self)); }, py::arg("self"));
    builder.method(
        "get_table_names", "(self)", "Names of the usable tables, sorted.",
        [](py::object self) { return self.attr("get_usable_table_names")(); }, py::arg("self"));

    builder.property("table_info", "Definitions of every usable table.",
                     [](py::object self) { return self.attr("get_table_info")(); });
    builder.method("get_table_info", "(self, table_names=None, get_col_comments=False)",
                   "CREATE TABLE text and sample rows of the named tables (all usable tables when None).\n\n"
                   "A name that is not a usable table raises ValueError(\"table_names {...} not found in database\").",
                   &table_info, py::arg("self"), py::arg("table_names") = py::none(),
                   py::arg("get_col_comments") = false);
    builder.method(
        "get_table_info_no_throw", "(self, table_names=None)",
        "Like get_table_info, but an unknown table name gives the text \"Error: ...\".",
        [](py::object self, py::object table_names) -> py::object {
            try {
                return self.attr("get_table_info")(table_names);
            } catch (py::error_already_set& error) {
                if (!error.matches(PyExc_ValueError)) throw;
                return py::str("Error: " + std::string(py::str(error.value())));
            }
        },
        py::arg("self"), py::arg("table_names") = py::none());

    builder.method(
        "run", "(self, command, fetch='all', include_columns=False, *, parameters=None, execution_options=None)",
        "Run one read-only query and return its rows as text (\"\" for none).\n\n"
        "The rows are str() of a list of tuples (dicts with include_columns); at most max_rows rows\n"
        "are read, and a cut result ends with a line saying how many rows were left out.\n"
        "A statement that could write is refused with ReadOnlyQueryError; database errors\n"
        "(including the time limit) raise SQLAlchemy's errors. fetch='one' returns the first row.",
        &run, py::arg("self"), py::arg("command"), py::arg("fetch") = "all", py::arg("include_columns") = false,
        py::kw_only(), py::arg("parameters") = py::none(), py::arg("execution_options") = py::none());
    builder.method(
        "run_no_throw",
        "(self, command, fetch='all', include_columns=False, *, parameters=None, execution_options=None)",
        "Like run, but a SQLAlchemyError (a refusal included) gives the text \"Error: ...\".",
        [](py::object self, py::object command, py::object fetch, py::object include_columns, py::object parameters,
           py::object execution_options) -> py::object {
            try {
                return self.attr("run")(command, fetch, include_columns, py::arg("parameters") = parameters,
                                        py::arg("execution_options") = execution_options);
            } catch (py::error_already_set& error) {
                if (!error.matches(zorvan::import_attr("sqlalchemy.exc", "SQLAlchemyError"))) throw;
                return py::str("Error: " + std::string(py::str(error.value())));
            }
        },
        py::arg("self"), py::arg("command"), py::arg("fetch") = "all", py::arg("include_columns") = false,
        py::kw_only(), py::arg("parameters") = py::none(), py::arg("execution_options") = py::none());
    builder.method(
        "_execute", "(self, command, fetch='all', *, parameters=None, execution_options=None)",
        "Rows of one read-only query as dicts (at most max_rows), checked like run.",
        [](py::object self, py::object command, py::object fetch, py::object parameters, py::object execution_options) {
            const HandleConfig config = load_config(self);
            return rows_as_dicts(fetch_rows(config, command, parameters, execution_options, parse_fetch(fetch)));
        },
        py::arg("self"), py::arg("command"), py::arg("fetch") = "all", py::kw_only(),
        py::arg("parameters") = py::none(), py::arg("execution_options") = py::none());
    builder.method(
        "get_context", "(self)", "The table definitions and names, for a prompt.",
        [](py::object self) {
            py::list names = self.attr("get_usable_table_names")();
            py::dict context;
            context["table_info"] = self.attr("get_table_info_no_throw")();
            context["table_names"] = py::str(", ").attr("join")(names);
            return context;
        },
        py::arg("self"));

    // Attributes that the stock class fills when it is made, computed only
    // when some inherited code asks for them.
    builder.property("_all_tables", "Every table of the schema (one catalogue query).", [](py::object self) {
        py::set names;
        const HandleConfig config = load_config(self);
        ReadOnlySession session(config);
        for (const std::string& name : list_tables(session, config)) names.add(py::str(name));
        return names;
    });
    builder.property("_usable_tables", "The usable tables (one catalogue query).",
                     [](py::object self) { return py::set(self.attr("get_usable_table_names")()); });
    builder.property("_inspector", "A SQLAlchemy inspector on the engine.", [](py::object self) {
        return zorvan::import_attr("sqlalchemy", "inspect")(self.attr(attr::engine));
    });
    builder.method(
        "__repr__", "(self)", "The class and the engine's URL (password hidden).",
        [](py::object self) {
            return "CustomSQLDatabase(" + std::string(py::repr(self.attr(attr::engine).attr("url"))) + ")";
        },
        py::arg("self"));
    return builder.build();
}

}  // namespace zorvanai::custom_sql
