#include "catalogue.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>

#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

std::string name_text(py::handle value) {
    if (py::isinstance<py::bytes>(value)) return py::str(value.attr("decode")("utf-8"));
    return py::str(value);
}

std::set<std::string> string_set(const py::object& values) {
    std::set<std::string> out;
    if (values.is_none()) return out;
    for (py::handle value : values) out.insert(py::str(value));
    return out;
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? separator : "") + parts[i];
    return text;
}

py::list to_list(const std::vector<std::string>& names) {
    py::list out;
    for (const std::string& name : names) out.append(py::str(name));
    return out;
}

py::object text_query(const std::string& sql) {
    return zorvan::import_attr("sqlalchemy", "text")(sql);
}

// `sql` with an expanding bound parameter "names" (an IN list).
py::object text_query_with_names(const std::string& sql) {
    py::object bindparam = zorvan::import_attr("sqlalchemy", "bindparam");
    return text_query(sql).attr("bindparams")(bindparam("names", py::arg("expanding") = true));
}

std::string postgres_schema(const HandleConfig& config) {
    return config.schema.is_none() ? "current_schema()" : ":schema";
}

std::string postgres_kinds(const HandleConfig& config) {
    return std::string("c.relkind IN ('r', 'p'") + (config.view_support ? ", 'v', 'm'" : "") + ")";
}

std::string mysql_types(const HandleConfig& config) {
    return std::string("('BASE TABLE', 'SYSTEM VERSIONED'") + (config.view_support ? ", 'VIEW'" : "") + ")";
}

py::dict schema_parameters(const HandleConfig& config) {
    py::dict parameters;
    if (!config.schema.is_none()) parameters["schema"] = config.schema;
    return parameters;
}

std::vector<std::string> first_column(const py::object& result) {
    std::vector<std::string> names;
    for (py::handle row : result.attr("fetchall")()) names.push_back(name_text(row[py::int_(0)]));
    return names;
}

// -- table shapes ------------------------------------------------------------

struct ColumnShape {
    py::object name;
    std::string type;
    bool nullable = true;
    py::object comment;  // None when there is none
};

struct KeyShape {
    py::object name;  // None for an unnamed constraint
    py::list columns;
    py::object referred_schema;  // None: the table's own schema
    py::object referred_table;
    py::list referred_columns;
};

struct TableShape {
    std::vector<ColumnShape> columns;
    std::optional<KeyShape> primary_key;
    std::vector<KeyShape> foreign_keys;
    py::object indexes = py::none();  // list of index dicts, when asked for
};

using Shapes = std::map<std::string, TableShape>;

// PostgreSQL's own spelling of a built-in type, written the way SQLAlchemy
// writes it: upper case, VARCHAR / CHAR, "NUMERIC(10, 2)".
std::string postgres_type_text(const std::string& formatted, bool built_in) {
    if (!built_in) return formatted;
    std::string text;
    for (char c : formatted) text += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto replace_prefix = [&text](const std::string& from, const std::string& to) {
        if (text.rfind(from, 0) == 0) text = to + text.substr(from.size());
    };
    replace_prefix("CHARACTER VARYING", "VARCHAR");
    replace_prefix("CHARACTER", "CHAR");
    std::string spaced;
    for (std::size_t i = 0; i < text.size(); ++i) {
        spaced += text[i];
        if (text[i] == ',' && i + 1 < text.size() && text[i + 1] != ' ') spaced += ' ';
    }
    return spaced;
}

// Columns, primary and foreign keys of the named tables from PostgreSQL's
// catalogue: two queries, whatever the number of tables.
Shapes read_postgres_shapes(ReadOnlySession& session, const HandleConfig& config,
                            const std::vector<std::string>& names) {
    py::dict parameters = schema_parameters(config);
    parameters["names"] = to_list(names);
    const std::string where = "n.nspname = " + postgres_schema(config) + " AND c.relname = ANY(:names)";
    Shapes shapes;
    py::object columns = session.execute(
        text_query("SELECT c.relname, a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), "
                   "t.typnamespace = 'pg_catalog'::regnamespace, a.attnotnull, "
                   "pg_catalog.col_description(c.oid, a.attnum) "
                   "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                   "JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid "
                   "JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
                   "WHERE " +
                   where + " AND a.attnum > 0 AND NOT a.attisdropped ORDER BY c.relname, a.attnum"),
        parameters);
    for (py::handle row : columns.attr("fetchall")()) {
        ColumnShape column;
        column.name = row[py::int_(1)];
        column.type = postgres_type_text(py::str(row[py::int_(2)]), py::bool_(row[py::int_(3)]));
        column.nullable = !py::bool_(row[py::int_(4)]);
        column.comment = row[py::int_(5)];
        shapes[name_text(row[py::int_(0)])].columns.push_back(column);
    }
    const char* key_columns =
        "ARRAY(SELECT a.attname FROM unnest(con.%s) WITH ORDINALITY AS k(attnum, ord) "
        "JOIN pg_catalog.pg_attribute a ON a.attrelid = con.%s AND a.attnum = k.attnum ORDER BY k.ord)::text[]";
    const auto key_list = [key_columns](const char* key, const char* relation) {
        std::string text = key_columns;
        text.replace(text.find("%s"), 2, key);
        text.replace(text.find("%s"), 2, relation);
        return text;
    };
    py::object keys = session.execute(
        text_query("SELECT c.relname, con.conname, con.contype, " + key_list("conkey", "conrelid") +
                   ", fn.nspname, fc.relname, " + key_list("confkey", "confrelid") +
                   ", fn.nspname = n.nspname "
                   "FROM pg_catalog.pg_constraint con JOIN pg_catalog.pg_class c ON c.oid = con.conrelid "
                   "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                   "LEFT JOIN pg_catalog.pg_class fc ON fc.oid = con.confrelid "
                   "LEFT JOIN pg_catalog.pg_namespace fn ON fn.oid = fc.relnamespace "
                   "WHERE " +
                   where + " AND con.contype IN ('p', 'f') ORDER BY c.relname, con.conname"),
        parameters);
    for (py::handle row : keys.attr("fetchall")()) {
        auto found = shapes.find(name_text(row[py::int_(0)]));
        if (found == shapes.end()) continue;
        KeyShape key;
        key.name = row[py::int_(1)];
        key.columns = py::list(row[py::int_(3)]);
        if (std::string(py::str(row[py::int_(2)])) == "p") {
            found->second.primary_key = key;
            continue;
        }
        // The referred table's schema is shown when it is not the table's
        // own default one, as SQLAlchemy shows it.
        const bool same_schema = py::bool_(row[py::int_(7)]);
        key.referred_schema =
            same_schema && config.schema.is_none() ? py::object(py::none()) : py::object(row[py::int_(4)]);
        key.referred_table = row[py::int_(5)];
        key.referred_columns = py::list(row[py::int_(6)]);
        found->second.foreign_keys.push_back(key);
    }
    return shapes;
}

// The same through SQLAlchemy's inspector (MySQL reads one SHOW CREATE
// TABLE per named table), for every server but PostgreSQL.
Shapes read_inspector_shapes(ReadOnlySession& session, const HandleConfig& config,
                             const std::vector<std::string>& names) {
    py::object inspector = zorvan::import_attr("sqlalchemy", "inspect")(session.connection());
    // Any kind and scope with explicit names: the inspector then reads those
    // tables only, without listing the schema first.
    py::object kind = zorvan::import_attr("sqlalchemy.engine.reflection", "ObjectKind").attr("ANY");
    py::object scope = zorvan::import_attr("sqlalchemy.engine.reflection", "ObjectScope").attr("ANY");
    py::list filter = to_list(names);
    const auto multi = [&](const char* method) -> py::dict {
        return inspector.attr(method)(py::arg("schema") = config.schema, py::arg("filter_names") = filter,
                                      py::arg("kind") = kind, py::arg("scope") = scope);
    };
    py::dict columns = multi("get_multi_columns");
    py::dict primary_keys = multi("get_multi_pk_constraint");
    py::dict foreign_keys = multi("get_multi_foreign_keys");
    py::object null_type = zorvan::import_attr("sqlalchemy.types", "NullType");
    py::object dialect = config.engine.attr("dialect");
    Shapes shapes;
    for (const std::string& name : names) {
        py::tuple key = py::make_tuple(config.schema, name);
        if (!columns.contains(key)) continue;  // dropped since it was listed
        TableShape& shape = shapes[name];
        for (py::handle item : columns[key]) {
            py::dict fields = py::reinterpret_borrow<py::dict>(item);
            py::object type = fields["type"];
            if (py::isinstance(type, null_type)) continue;
            ColumnShape column;
            try {
                column.type = py::str(type.attr("compile")(py::arg("dialect") = dialect));
            } catch (py::error_already_set&) {
                continue;  // a type this dialect cannot spell is left out, as the stock handle leaves it out
            }
            column.name = fields["name"];
            column.nullable = !fields.contains("nullable") || py::bool_(fields["nullable"]);
            column.comment = fields.contains("comment") ? py::object(fields["comment"]) : py::object(py::none());
            shape.columns.push_back(column);
        }
        if (primary_keys.contains(key)) {
            py::dict fields = primary_keys[key];
            if (fields.contains("constrained_columns") && py::len(fields["constrained_columns"]) > 0) {
                KeyShape primary;
                primary.name = fields.contains("name") ? py::object(fields["name"]) : py::object(py::none());
                primary.columns = py::list(fields["constrained_columns"]);
                shape.primary_key = primary;
            }
        }
        if (foreign_keys.contains(key)) {
            for (py::handle item : foreign_keys[key]) {
                py::dict fields = py::reinterpret_borrow<py::dict>(item);
                KeyShape foreign;
                foreign.name = fields.contains("name") ? py::object(fields["name"]) : py::object(py::none());
                foreign.columns = py::list(fields["constrained_columns"]);
                foreign.referred_schema = fields["referred_schema"];
                foreign.referred_table = fields["referred_table"];
                foreign.referred_columns = py::list(fields["referred_columns"]);
                shape.foreign_keys.push_back(foreign);
            }
        }
    }
    return shapes;
}

void read_indexes(ReadOnlySession& session, const HandleConfig& config, Shapes& shapes) {
    py::list filter;
    for (const auto& entry : shapes) filter.append(py::str(entry.first));
    py::object inspector = zorvan::import_attr("sqlalchemy", "inspect")(session.connection());
    py::dict indexes = inspector.attr("get_multi_indexes")(
        py::arg("schema") = config.schema, py::arg("filter_names") = filter,
        py::arg("kind") = zorvan::import_attr("sqlalchemy.engine.reflection", "ObjectKind").attr("ANY"),
        py::arg("scope") = zorvan::import_attr("sqlalchemy.engine.reflection", "ObjectScope").attr("ANY"));
    for (auto& entry : shapes) {
        py::tuple key = py::make_tuple(config.schema, entry.first);
        entry.second.indexes = indexes.contains(key) ? py::object(indexes[key]) : py::object(py::list());
    }
}

// -- rendering ---------------------------------------------------------------

class TableWriter {
public:
    TableWriter(const HandleConfig& config, ReadOnlySession& session)
        : config_(config), session_(session), preparer_(config.engine.attr("dialect").attr("identifier_preparer")) {}

    std::string table_text(const std::string& name, const TableShape& shape, bool column_comments) {
        std::vector<std::string> lines;
        py::dict comments;
        for (const ColumnShape& column : shape.columns) {
            lines.push_back("\t" + quote(column.name) + " " + column.type + (column.nullable ? "" : " NOT NULL"));
            if (!column.comment.is_none()) comments[column.name] = column.comment;
        }
        if (shape.primary_key) {
            lines.push_back("\t" + constraint_prefix(*shape.primary_key) + "PRIMARY KEY (" +
                            quote_list(shape.primary_key->columns) + ")");
        }
        for (const KeyShape& key : shape.foreign_keys) {
            lines.push_back("\t" + constraint_prefix(key) + "FOREIGN KEY(" + quote_list(key.columns) + ") REFERENCES " +
                            qualified(key.referred_schema, key.referred_table) + " (" +
                            quote_list(key.referred_columns) + ")");
        }
        std::string text =
            "\nCREATE TABLE " + qualified(config_.schema, py::str(name)) + " (\n" + join(lines, ", \n") + "\n)";
        if (column_comments && !comments.empty()) {
            text += "\n\n/*\nColumn Comments: " + std::string(py::repr(comments)) + "\n*/";
        }
        const bool extra = config_.indexes_in_table_info || config_.sample_rows > 0;
        if (extra) text += "\n\n/*";
        if (config_.indexes_in_table_info) text += "\n" + index_text(shape.indexes) + "\n";
        if (config_.sample_rows > 0) text += "\n" + sample_text(name, shape.columns) + "\n";
        if (extra) text += "*/";
        return text;
    }

private:
    std::string quote(const py::handle& name) const { return py::str(preparer_.attr("quote")(name)); }

    std::string quote_list(const py::handle& names) const {
        std::vector<std::string> quoted;
        for (py::handle name : names) quoted.push_back(quote(name));
        return join(quoted, ", ");
    }

    std::string qualified(const py::object& schema, const py::handle& name) const {
        if (schema.is_none()) return quote(name);
        return std::string(py::str(preparer_.attr("quote_schema")(schema))) + "." + quote(name);
    }

    std::string constraint_prefix(const KeyShape& key) const {
        return key.name.is_none() ? std::string() : "CONSTRAINT " + quote(key.name) + " ";
    }

    static std::string index_text(const py::object& indexes) {
        std::vector<std::string> lines;
        if (!indexes.is_none()) {
            for (py::handle index : indexes) {
                lines.push_back("Name: " + std::string(py::str(index["name"])) +
                                ", Unique: " + std::string(py::str(index["unique"])) +
                                ", Columns: " + std::string(py::str(index["column_names"])));
            }
        }
        return "Table Indexes:\n" + join(lines, "\n");
    }

    // A few rows as tab-separated text. A table that cannot be read (no
    // privilege, a view that times out) gets the header without rows.
    std::string sample_text(const std::string& name, const std::vector<ColumnShape>& columns) {
        std::vector<std::string> header;
        for (const ColumnShape& column : columns) header.push_back(py::str(column.name));
        std::vector<std::string> rows;
        if (!columns.empty()) {
            py::module_ sa = py::module_::import("sqlalchemy");
            py::list selected;
            for (const ColumnShape& column : columns) selected.append(sa.attr("column")(column.name));
            py::object query = sa.attr("select")(*selected)
                                   .attr("select_from")(sa.attr("table")(name, py::arg("schema") = config_.schema))
                                   .attr("limit")(config_.sample_rows);
            try {
                py::object result = session_.execute(query, py::none());
                for (py::handle row : result.attr("fetchall")()) {
                    std::vector<std::string> values;
                    for (py::handle value : row) {
                        py::str shown = py::str(value);
                        values.push_back(py::str(shown[py::slice(0, 100, 1)]));
                    }
                    rows.push_back(join(values, "\t"));
                }
            } catch (py::error_already_set& error) {
                if (!error.matches(zorvan::import_attr("sqlalchemy.exc", "DBAPIError"))) throw;
                rows.clear();
                session_.restart();
            }
        }
        return std::to_string(config_.sample_rows) + " rows from " + name + " table:\n" + join(header, "\t") + "\n" +
               join(rows, "\n");
    }

    const HandleConfig& config_;
    ReadOnlySession& session_;
    py::object preparer_;
};

}  // namespace

std::vector<std::string> list_tables(ReadOnlySession& session, const HandleConfig& config) {
    std::vector<std::string> names;
    switch (config.kind) {
        case ServerKind::PostgreSQL:
            names = first_column(
                session.execute(text_query("SELECT c.relname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace "
                                           "n ON n.oid = c.relnamespace WHERE n.nspname = " +
                                           postgres_schema(config) + " AND " + postgres_kinds(config)),
                                schema_parameters(config)));
            break;
        case ServerKind::MySQL:
        case ServerKind::MariaDB: {
            // SHOW FULL TABLES reads the table list without opening each
            // table, as information_schema.TABLES does on MariaDB.
            std::string sql = "SHOW FULL TABLES";
            if (!config.schema.is_none()) {
                sql += " FROM " + std::string(py::str(config.engine.attr("dialect")
                                                          .attr("identifier_preparer")
                                                          .attr("quote_identifier")(config.schema)));
            }
            const std::set<std::string> kinds = config.view_support
                                                    ? std::set<std::string>{"BASE TABLE", "SYSTEM VERSIONED", "VIEW"}
                                                    : std::set<std::string>{"BASE TABLE", "SYSTEM VERSIONED"};
            for (py::handle row : session.execute_text(sql).attr("fetchall")()) {
                if (kinds.count(name_text(row[py::int_(1)])) != 0) names.push_back(name_text(row[py::int_(0)]));
            }
            break;
        }
        case ServerKind::MSSQL:
            names = first_column(session.execute(
                text_query(std::string("SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = ") +
                           (config.schema.is_none() ? "SCHEMA_NAME()" : ":schema") +
                           " AND TABLE_TYPE IN ('BASE TABLE'" + (config.view_support ? ", 'VIEW'" : "") + ")"),
                schema_parameters(config)));
            break;
        default: {
            py::object inspector = zorvan::import_attr("sqlalchemy", "inspect")(session.connection());
            for (py::handle name : inspector.attr("get_table_names")(py::arg("schema") = config.schema)) {
                names.push_back(name_text(name));
            }
            if (config.view_support) {
                for (py::handle name : inspector.attr("get_view_names")(py::arg("schema") = config.schema)) {
                    names.push_back(name_text(name));
                }
            }
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<std::string> find_tables(ReadOnlySession& session, const HandleConfig& config,
                                     const std::vector<std::string>& names) {
    if (names.empty()) return {};
    py::dict parameters = schema_parameters(config);
    parameters["names"] = to_list(names);
    std::vector<std::string> found;
    switch (config.kind) {
        case ServerKind::PostgreSQL:
            found = first_column(session.execute(
                text_query("SELECT c.relname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                           "ON n.oid = c.relnamespace WHERE n.nspname = " +
                           postgres_schema(config) + " AND " + postgres_kinds(config) + " AND c.relname = ANY(:names)"),
                parameters));
            break;
        case ServerKind::MySQL:
        case ServerKind::MariaDB:
            // Filtered by name, information_schema opens only these tables.
            found = first_column(session.execute(
                text_query_with_names(std::string("SELECT TABLE_NAME FROM information_schema.TABLES "
                                                  "WHERE TABLE_SCHEMA = ") +
                                      (config.schema.is_none() ? "DATABASE()" : ":schema") + " AND TABLE_TYPE IN " +
                                      mysql_types(config) + " AND TABLE_NAME IN :names"),
                parameters));
            break;
        case ServerKind::MSSQL:
            found = first_column(session.execute(
                text_query_with_names(
                    std::string("SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = ") +
                    (config.schema.is_none() ? "SCHEMA_NAME()" : ":schema") + " AND TABLE_TYPE IN ('BASE TABLE'" +
                    (config.view_support ? ", 'VIEW'" : "") + ") AND TABLE_NAME IN :names"),
                parameters));
            break;
        default: {
            const std::vector<std::string> all = list_tables(session, config);
            const std::set<std::string> wanted(names.begin(), names.end());
            for (const std::string& name : all) {
                if (wanted.count(name) != 0) found.push_back(name);
            }
        }
    }
    // Catalogues may compare names without regard to case; only exact names count.
    const std::set<std::string> wanted(names.begin(), names.end());
    found.erase(std::remove_if(found.begin(), found.end(),
                               [&wanted](const std::string& name) { return wanted.count(name) == 0; }),
                found.end());
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

std::vector<std::string> usable_tables(const HandleConfig& config, std::vector<std::string> tables) {
    const std::set<std::string> include = string_set(config.include_tables);
    const std::set<std::string> ignore = string_set(config.ignore_tables);
    tables.erase(std::remove_if(tables.begin(), tables.end(),
                                [&](const std::string& name) {
                                    return !include.empty() ? include.count(name) == 0 : ignore.count(name) != 0;
                                }),
                 tables.end());
    // UTF-8 byte order is code point order, the order Python sorts names in.
    std::sort(tables.begin(), tables.end());
    return tables;
}

std::string describe_tables(ReadOnlySession& session, const HandleConfig& config, const std::vector<std::string>& names,
                            bool column_comments) {
    std::vector<std::string> texts;
    std::vector<std::string> to_read;
    std::set<std::string> seen;
    py::dict custom;
    if (!config.custom_table_info.is_none()) custom = config.custom_table_info;
    for (const std::string& name : names) {
        if (!seen.insert(name).second) continue;
        if (custom.contains(py::str(name))) {
            texts.push_back(py::str(custom[py::str(name)]));
        } else {
            to_read.push_back(name);
        }
    }
    if (!to_read.empty()) {
        Shapes shapes = config.kind == ServerKind::PostgreSQL ? read_postgres_shapes(session, config, to_read)
                                                              : read_inspector_shapes(session, config, to_read);
        if (config.indexes_in_table_info) read_indexes(session, config, shapes);
        TableWriter writer(config, session);
        for (const auto& [name, shape] : shapes) texts.push_back(writer.table_text(name, shape, column_comments));
    }
    std::sort(texts.begin(), texts.end());
    return join(texts, "\n\n");
}

}  // namespace zorvanai::custom_sql
