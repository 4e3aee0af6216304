// What a database handle knows about its server and its limits, read from
// the handle instance's attribute mapping at each call.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::custom_sql {
namespace py = pybind11;

// The servers whose read-only and time-limit settings differ.
enum class ServerKind { PostgreSQL, MySQL, MariaDB, MSSQL, SQLite, Other };

// Decided from the engine's dialect after its first connection (MariaDB is
// told apart from MySQL by the server version the dialect has read).
ServerKind detect_server_kind(py::handle engine);
std::string server_kind_name(ServerKind kind);
ServerKind server_kind_from_name(const std::string& name);
bool is_mysql_family(ServerKind kind);

// The sqlglot dialect name for statement checks ("" = sqlglot's generic SQL).
std::string sqlglot_dialect(ServerKind kind, const std::string& sqlalchemy_dialect);

// Names of the instance attributes (the stock class's own names where it has
// one, so that inherited code finds them).
namespace attr {
inline constexpr const char* engine = "_engine";
inline constexpr const char* schema = "_schema";
inline constexpr const char* metadata = "_metadata";
inline constexpr const char* include_tables = "_include_tables";
inline constexpr const char* ignore_tables = "_ignore_tables";
inline constexpr const char* sample_rows = "_sample_rows_in_table_info";
inline constexpr const char* indexes = "_indexes_in_table_info";
inline constexpr const char* custom_table_info = "_custom_table_info";
inline constexpr const char* max_string_length = "_max_string_length";
inline constexpr const char* view_support = "_view_support";
inline constexpr const char* statement_timeout = "_statement_timeout";
inline constexpr const char* max_rows = "_max_rows";
inline constexpr const char* server_kind = "_server_kind";
inline constexpr const char* query_schema = "_query_schema";
inline constexpr const char* sql_mode = "_pinned_sql_mode";
inline constexpr const char* max_result_bytes = "_max_result_bytes";
inline constexpr const char* privilege_risks = "_privilege_risks";
}  // namespace attr

struct HandleConfig {
    py::object engine;
    py::object schema;  // None or a schema name
    ServerKind kind = ServerKind::Other;
    std::string dialect_name;      // SQLAlchemy's short name: "postgresql", "mysql", ...
    std::string driver;            // SQLAlchemy's driver name: "psycopg2", "mysqlconnector", ...
    double statement_timeout = 0;  // seconds; 0 means no limit
    long max_rows = 0;
    long sample_rows = 0;
    long max_string_length = 0;
    bool indexes_in_table_info = false;
    bool view_support = false;
    py::object custom_table_info;  // dict or None
    py::object include_tables;     // set
    py::object ignore_tables;      // set
    py::object metadata;           // SQLAlchemy MetaData
    // The schema (MySQL: database) every query runs in and may name: the
    // handle's schema, else the connection's default one.
    std::string query_schema;
    std::string sql_mode;       // MySQL/MariaDB: the SQL mode every session is pinned to
    long max_result_bytes = 0;  // the budget of a result's text
};

HandleConfig load_config(py::handle self);

// Text of a whole number of milliseconds (at least 1) for `seconds`.
std::string milliseconds_text(double seconds);

// How long one blocking step of a query may take on the client side before
// the connection is given up: the statement limit plus a margin for the
// server's own answer. 0 (no limit) without a statement limit.
double client_step_limit(const HandleConfig& config);

}  // namespace zorvanai::custom_sql
