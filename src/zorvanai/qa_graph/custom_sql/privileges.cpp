#include "privileges.hpp"

#include <set>

#include "refusal.hpp"
#include "zorvan/errors.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::custom_sql {

namespace {

py::object run(const py::object& connection, const std::string& sql, const py::dict& parameters = py::dict()) {
    return connection.attr("execute")(zorvan::imported(zorvan::dep::sqlalchemy_text)(sql), parameters);
}

bool truthy(py::handle value) {
    return !value.is_none() && PyObject_IsTrue(value.ptr()) == 1;
}

std::vector<std::string> postgres_risks(const py::object& connection, const std::string& schema) {
    py::dict parameters;
    parameters["schema"] = py::str(schema);
    py::tuple row =
        run(connection,
            "SELECT r.rolsuper, r.rolcreaterole, "
            "pg_catalog.pg_has_role(current_user, 'pg_read_server_files', 'MEMBER'), "
            "pg_catalog.pg_has_role(current_user, 'pg_write_server_files', 'MEMBER'), "
            "pg_catalog.pg_has_role(current_user, 'pg_execute_server_program', 'MEMBER'), "
            "(SELECT count(*) FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
            "ON n.oid = c.relnamespace WHERE n.nspname = :schema AND c.relkind IN ('r', 'p', 'v', 'm', 'f') "
            "AND pg_catalog.has_table_privilege(c.oid, 'INSERT, UPDATE, DELETE, TRUNCATE')), "
            "(SELECT pg_catalog.has_schema_privilege(n.oid, 'CREATE') FROM pg_catalog.pg_namespace n "
            "WHERE n.nspname = :schema), "
            "pg_catalog.has_database_privilege(pg_catalog.current_database(), 'CREATE') "
            "FROM pg_catalog.pg_roles r WHERE r.rolname = current_user",
            parameters)
            .attr("one")();
    std::vector<std::string> risks;
    if (truthy(row[0])) {
        risks.push_back(
            "it is a superuser, which may read and write the server's files, run programs on it and "
            "change everything");
        return risks;
    }
    if (truthy(row[2])) risks.push_back("it may read the server's files (pg_read_server_files)");
    if (truthy(row[3])) risks.push_back("it may write the server's files (pg_write_server_files)");
    if (truthy(row[4])) risks.push_back("it may run programs on the server (pg_execute_server_program)");
    const long writable = row[5].cast<long>();
    if (writable > 0) {
        risks.push_back("it may change data in " + std::to_string(writable) + " table" + (writable == 1 ? "" : "s") +
                        " of the schema " + schema + " (INSERT, UPDATE, DELETE or TRUNCATE)");
    }
    if (truthy(row[6])) risks.push_back("it may create objects in the schema " + schema);
    if (truthy(row[7])) risks.push_back("it may create schemas in the database");
    if (truthy(row[1])) risks.push_back("it may create roles");
    return risks;
}

std::vector<std::string> mysql_risks(const py::object& connection, const std::string& database) {
    const std::string user = py::str(run(connection, "SELECT CURRENT_USER()").attr("scalar")());
    const std::size_t at = user.rfind('@');
    const std::string name = at == std::string::npos ? user : user.substr(0, at);
    const std::string host = at == std::string::npos ? std::string("%") : user.substr(at + 1);
    py::dict parameters;
    parameters["grantee"] = py::str("'" + name + "'@'" + host + "'");
    parameters["db"] = py::str(database);
    // Schema grants may name a pattern (`shop\_%`.*), which LIKE matches.
    py::object rows = run(connection,
                          "SELECT 'server', PRIVILEGE_TYPE FROM information_schema.USER_PRIVILEGES "
                          "WHERE GRANTEE = :grantee "
                          "UNION ALL SELECT 'database', PRIVILEGE_TYPE FROM information_schema.SCHEMA_PRIVILEGES "
                          "WHERE GRANTEE = :grantee AND :db LIKE TABLE_SCHEMA "
                          "UNION ALL SELECT 'table', PRIVILEGE_TYPE FROM information_schema.TABLE_PRIVILEGES "
                          "WHERE GRANTEE = :grantee AND TABLE_SCHEMA = :db",
                          parameters);
    static const std::set<std::string> reading = {"SELECT", "SHOW VIEW", "USAGE", "SHOW DATABASES"};
    static const std::set<std::string> files = {"FILE"};
    static const std::set<std::string> administering = {"SUPER",
                                                        "SHUTDOWN",
                                                        "RELOAD",
                                                        "CREATE USER",
                                                        "GRANT OPTION",
                                                        "PROCESS",
                                                        "REPLICATION SLAVE",
                                                        "REPLICATION CLIENT",
                                                        "BINLOG ADMIN",
                                                        "CONNECTION ADMIN",
                                                        "READ_ONLY ADMIN",
                                                        "SET USER"};
    std::set<std::string> server_writes;
    std::set<std::string> local_writes;
    std::set<std::string> admin;
    bool file = false;
    for (py::handle row : rows.attr("fetchall")()) {
        const std::string level = py::str(row[py::int_(0)]);
        const std::string privilege = py::str(row[py::int_(1)]);
        if (reading.count(privilege) != 0) continue;
        if (files.count(privilege) != 0) {
            file = true;
        } else if (administering.count(privilege) != 0) {
            admin.insert(privilege);
        } else if (level == "server") {
            server_writes.insert(privilege);
        } else {
            local_writes.insert(privilege);
        }
    }
    const auto listed = [](const std::set<std::string>& names) {
        return name_list(std::vector<std::string>(names.begin(), names.end()), 6);
    };
    std::vector<std::string> risks;
    if (name == "root") risks.push_back("it is the server's root account");
    if (file) risks.push_back("it may read and write the server's files (FILE)");
    if (!admin.empty()) risks.push_back("it may administer the server or see other sessions (" + listed(admin) + ")");
    if (!server_writes.empty()) {
        risks.push_back("it may change data or schema in every database (" + listed(server_writes) + ")");
    }
    if (!local_writes.empty()) {
        risks.push_back("it may change data or schema in the database " + database + " (" + listed(local_writes) + ")");
    }
    return risks;
}

std::vector<std::string> mssql_risks(const py::object& connection) {
    py::tuple row = run(connection,
                        "SELECT IS_SRVROLEMEMBER('sysadmin'), IS_MEMBER('db_owner'), IS_MEMBER('db_datawriter'), "
                        "IS_MEMBER('db_ddladmin')")
                        .attr("one")();
    std::vector<std::string> risks;
    if (truthy(row[0])) risks.push_back("it is a member of sysadmin, which may do anything on the server");
    if (truthy(row[1])) risks.push_back("it owns the database (db_owner)");
    if (truthy(row[2])) risks.push_back("it may change data (db_datawriter)");
    if (truthy(row[3])) risks.push_back("it may change the schema (db_ddladmin)");
    return risks;
}

}  // namespace

std::vector<std::string> privilege_risks(const py::object& connection, ServerKind kind, const std::string& schema) {
    switch (kind) {
        case ServerKind::PostgreSQL:
            return postgres_risks(connection, schema);
        case ServerKind::MySQL:
        case ServerKind::MariaDB:
            return mysql_risks(connection, schema);
        case ServerKind::MSSQL:
            return mssql_risks(connection);
        case ServerKind::SQLite:
        case ServerKind::Other:
            break;
    }
    return {};
}

bool strict_mode(const py::object& strict) {
    if (!strict.is_none()) return py::bool_(strict);
    py::object value = zorvan::imported(zorvan::dep::os_environ).attr("get")("ZORVAN_DB_STRICT", "");
    const std::string text = py::str(value);
    if (text.empty() || text == "0") return false;
    if (text == "1") return true;
    throw py::value_error("ZORVAN_DB_STRICT must be 1 (refuse logins with more rights than reading) or 0, not '" +
                          text + "'");
}

void enforce_least_privilege(const std::vector<std::string>& risks, bool strict, const std::string& login) {
    if (risks.empty()) return;
    std::string reasons;
    for (std::size_t i = 0; i < risks.size(); ++i) reasons += (i ? "; " : "") + risks[i];
    const std::string subject = "The database login " + (login.empty() ? std::string() : "'" + login + "' ") +
                                "has more rights than reading the handle's tables: " + reasons + ".";
    const std::string remedy =
        " Queries are checked before they run, but a SELECT-only login is the safer choice: "
        "`zorvanai db grant-sql` prints the SQL that creates one.";
    if (strict) {
        zorvan::raise_error(
            zorvan::error_class(zorvan::ErrorKind::PrivilegedLogin),
            subject + " It was refused because strict mode is on (ZORVAN_DB_STRICT=1 or strict=True)." + remedy);
    }
    zorvan::imported(zorvan::dep::logging_getLogger)("zorvanai.qa_graph.custom_sql")
        .attr("warning")(subject + remedy + " Set ZORVAN_DB_STRICT=1 to refuse such logins.");
}

}  // namespace zorvanai::custom_sql
