#include "table_shapes.hpp"

#include <cctype>

#include "catalogue_util.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

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

}  // namespace

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

Shapes read_inspector_shapes(ReadOnlySession& session, const HandleConfig& config,
                             const std::vector<std::string>& names) {
    py::object inspector = zorvan::imported(zorvan::dep::sqlalchemy_inspect)(session.connection());
    // Any kind and scope with explicit names: the inspector then reads those
    // tables only, without listing the schema first.
    py::object kind = zorvan::imported(zorvan::dep::sqlalchemy_engine_reflection_ObjectKind).attr("ANY");
    py::object scope = zorvan::imported(zorvan::dep::sqlalchemy_engine_reflection_ObjectScope).attr("ANY");
    py::list filter = to_list(names);
    const auto multi = [&](const char* method) -> py::dict {
        return inspector.attr(method)(py::arg("schema") = config.schema, py::arg("filter_names") = filter,
                                      py::arg("kind") = kind, py::arg("scope") = scope);
    };
    py::dict columns = multi("get_multi_columns");
    py::dict primary_keys = multi("get_multi_pk_constraint");
    py::dict foreign_keys = multi("get_multi_foreign_keys");
    py::object null_type = zorvan::imported(zorvan::dep::sqlalchemy_types_NullType);
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
    py::object inspector = zorvan::imported(zorvan::dep::sqlalchemy_inspect)(session.connection());
    py::dict indexes = inspector.attr("get_multi_indexes")(
        py::arg("schema") = config.schema, py::arg("filter_names") = filter,
        py::arg("kind") = zorvan::imported(zorvan::dep::sqlalchemy_engine_reflection_ObjectKind).attr("ANY"),
        py::arg("scope") = zorvan::imported(zorvan::dep::sqlalchemy_engine_reflection_ObjectScope).attr("ANY"));
    for (auto& entry : shapes) {
        py::tuple key = py::make_tuple(config.schema, entry.first);
        entry.second.indexes = indexes.contains(key) ? py::object(indexes[key]) : py::object(py::list());
    }
}

TableShape metadata_shape(const HandleConfig& config, const py::object& table) {
    TableShape shape;
    py::object null_type = zorvan::imported(zorvan::dep::sqlalchemy_types_NullType);
    py::object dialect = config.engine.attr("dialect");
    for (py::handle column : table.attr("columns")) {
        py::object type = column.attr("type");
        if (py::isinstance(type, null_type)) continue;
        ColumnShape shown;
        try {
            shown.type = py::str(type.attr("compile")(py::arg("dialect") = dialect));
        } catch (py::error_already_set&) {
            continue;
        }
        shown.name = column.attr("name");
        shown.nullable = py::bool_(column.attr("nullable"));
        shown.comment = column.attr("comment");
        shape.columns.push_back(shown);
    }
    py::object primary = table.attr("primary_key");
    if (py::len(primary.attr("columns")) > 0) {
        KeyShape key;
        key.name = primary.attr("name");
        for (py::handle column : primary.attr("columns")) key.columns.append(column.attr("name"));
        shape.primary_key = key;
    }
    for (py::handle constraint : table.attr("foreign_key_constraints")) {
        KeyShape key;
        key.name = constraint.attr("name");
        for (py::handle column : constraint.attr("columns")) key.columns.append(column.attr("name"));
        py::object referred = constraint.attr("referred_table");
        key.referred_schema = referred.attr("schema");
        key.referred_table = referred.attr("name");
        for (py::handle element : constraint.attr("elements"))
            key.referred_columns.append(element.attr("column").attr("name"));
        shape.foreign_keys.push_back(key);
    }
    return shape;
}

}  // namespace zorvanai::custom_sql
