#include "catalogue.hpp"

#include <algorithm>
#include <set>

#include "read_only_session.hpp"
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

// The catalogue query for one server kind, with its bound parameters.
std::pair<std::string, py::dict> table_list_query(const HandleConfig& config) {
    py::dict parameters;
    const bool given = !config.schema.is_none();
    if (given) parameters["schema"] = config.schema;
    switch (config.kind) {
        case ServerKind::PostgreSQL:
            return {std::string("SELECT c.relname FROM pg_catalog.pg_class c "
                                "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = ") +
                        (given ? ":schema" : "current_schema()") + " AND c.relkind IN ('r', 'p'" +
                        (config.view_support ? ", 'v', 'm'" : "") + ")",
                    parameters};
        case ServerKind::MySQL:
        case ServerKind::MariaDB:
            return {std::string("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = ") +
                        (given ? ":schema" : "DATABASE()") + " AND TABLE_TYPE IN ('BASE TABLE', 'SYSTEM VERSIONED'" +
                        (config.view_support ? ", 'VIEW'" : "") + ")",
                    parameters};
        case ServerKind::MSSQL:
            return {std::string("SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = ") +
                        (given ? ":schema" : "SCHEMA_NAME()") + " AND TABLE_TYPE IN ('BASE TABLE'" +
                        (config.view_support ? ", 'VIEW'" : "") + ")",
                    parameters};
        default:
            return {std::string(), parameters};
    }
}

class TableWriter {
public:
    TableWriter(const HandleConfig& config, ReadOnlySession& session)
        : config_(config), session_(session), preparer_(config.engine.attr("dialect").attr("identifier_preparer")) {}

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

    std::string table_text(const std::string& name, const py::list& columns, const py::object& primary_key,
                           const py::object& foreign_keys, const py::object& indexes, bool column_comments) {
        py::object null_type = zorvan::import_attr("sqlalchemy.types", "NullType");
        py::object dialect = config_.engine.attr("dialect");
        std::vector<std::string> lines;
        py::list kept;
        py::dict comments;
        for (py::handle column : columns) {
            py::object type = column["type"];
            if (py::isinstance(type, null_type)) continue;
            std::string type_text;
            try {
                type_text = py::str(type.attr("compile")(py::arg("dialect") = dialect));
            } catch (py::error_already_set&) {
                continue;  // a type this dialect cannot spell is left out, as the stock handle leaves it out
            }
            py::dict fields = py::reinterpret_borrow<py::dict>(column);
            py::object column_name = fields["name"];
            const bool nullable = !fields.contains("nullable") || py::bool_(fields["nullable"]);
            lines.push_back("\t" + quote(column_name) + " " + type_text + (nullable ? "" : " NOT NULL"));
            kept.append(column_name);
            if (fields.contains("comment") && !fields["comment"].is_none()) {
                comments[column_name] = fields["comment"];
            }
        }
        if (!primary_key.is_none() && py::len(primary_key["constrained_columns"]) > 0) {
            lines.push_back("\t" + constraint_prefix(primary_key) + "PRIMARY KEY (" +
                            quote_list(primary_key["constrained_columns"]) + ")");
        }
        if (!foreign_keys.is_none()) {
            for (py::handle key : foreign_keys) {
                lines.push_back("\t" + constraint_prefix(key) + "FOREIGN KEY(" +
                                quote_list(key["constrained_columns"]) + ") REFERENCES " +
                                qualified(key["referred_schema"], key["referred_table"]) + " (" +
                                quote_list(key["referred_columns"]) + ")");
            }
        }
        std::string text =
            "\nCREATE TABLE " + qualified(config_.schema, py::str(name)) + " (\n" + join(lines, ", \n") + "\n)";
        if (column_comments && !comments.empty()) {
            text += "\n\n/*\nColumn Comments: " + std::string(py::repr(comments)) + "\n*/";
        }
        const bool extra = config_.indexes_in_table_info || config_.sample_rows > 0;
        if (extra) text += "\n\n/*";
        if (config_.indexes_in_table_info) text += "\n" + index_text(indexes) + "\n";
        if (config_.sample_rows > 0) text += "\n" + sample_text(name, kept) + "\n";
        if (extra) text += "*/";
        return text;
    }

private:
    std::string constraint_prefix(const py::handle& constraint) const {
        py::dict fields(py::reinterpret_borrow<py::object>(constraint));
        if (!fields.contains("name") || fields["name"].is_none()) return "";
        return "CONSTRAINT " + quote(fields["name"]) + " ";
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
    std::string sample_text(const std::string& name, const py::list& columns) {
        std::vector<std::string> rows;
        if (!columns.empty()) {
            py::module_ sa = py::module_::import("sqlalchemy");
            py::list selected;
            for (py::handle column : columns) selected.append(sa.attr("column")(column));
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
        std::vector<std::string> header;
        for (py::handle column : columns) header.push_back(py::str(column));
        return std::to_string(config_.sample_rows) + " rows from " + name + " table:\n" + join(header, "\t") + "\n" +
               join(rows, "\n");
    }

    const HandleConfig& config_;
    ReadOnlySession& session_;
    py::object preparer_;
};

}  // namespace

std::vector<std::string> list_tables(const HandleConfig& config) {
    std::vector<std::string> names;
    ReadOnlySession session(config);
    auto [sql, parameters] = table_list_query(config);
    if (!sql.empty()) {
        py::object result = session.execute(zorvan::import_attr("sqlalchemy", "text")(sql), parameters);
        for (py::handle row : result.attr("fetchall")()) names.push_back(name_text(row[py::int_(0)]));
    } else {
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
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<std::string> usable_tables(const HandleConfig& config, const std::vector<std::string>& all_tables) {
    const std::set<std::string> include = string_set(config.include_tables);
    const std::set<std::string> ignore = string_set(config.ignore_tables);
    std::vector<std::string> usable;
    for (const std::string& name : all_tables) {
        if (!include.empty() ? include.count(name) != 0 : ignore.count(name) == 0) usable.push_back(name);
    }
    return usable;  // all_tables is sorted (UTF-8 byte order is code point order, as Python sorts)
}

std::string describe_tables(const HandleConfig& config, const std::vector<std::string>& names, bool column_comments) {
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
        ReadOnlySession session(config);
        py::object inspector = zorvan::import_attr("sqlalchemy", "inspect")(session.connection());
        // Any kind and scope with explicit names: the inspector then reads
        // those tables only, without listing the schema first.
        py::object kind = zorvan::import_attr("sqlalchemy.engine.reflection", "ObjectKind").attr("ANY");
        py::object scope = zorvan::import_attr("sqlalchemy.engine.reflection", "ObjectScope").attr("ANY");
        py::list filter;
        for (const std::string& name : to_read) filter.append(py::str(name));
        auto multi = [&](const char* method) -> py::dict {
            return inspector.attr(method)(py::arg("schema") = config.schema, py::arg("filter_names") = filter,
                                          py::arg("kind") = kind, py::arg("scope") = scope);
        };
        py::dict columns = multi("get_multi_columns");
        py::dict primary_keys = multi("get_multi_pk_constraint");
        py::dict foreign_keys = multi("get_multi_foreign_keys");
        py::dict indexes = config.indexes_in_table_info ? multi("get_multi_indexes") : py::dict();
        TableWriter writer(config, session);
        for (const std::string& name : to_read) {
            py::tuple key = py::make_tuple(config.schema, name);
            if (!columns.contains(key)) continue;  // dropped since it was listed
            py::object primary_key = primary_keys.contains(key) ? py::object(primary_keys[key]) : py::none();
            py::object foreign = foreign_keys.contains(key) ? py::object(foreign_keys[key]) : py::none();
            py::object index_list = indexes.contains(key) ? py::object(indexes[key]) : py::none();
            texts.push_back(writer.table_text(name, columns[key], primary_key, foreign, index_list, column_comments));
        }
    }
    std::sort(texts.begin(), texts.end());
    return join(texts, "\n\n");
}

}  // namespace zorvanai::custom_sql
