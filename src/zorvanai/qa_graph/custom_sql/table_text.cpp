#include <algorithm>
#include <set>

#include "catalogue.hpp"
#include "catalogue_util.hpp"
#include "table_shapes.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::custom_sql {

namespace {

std::string mysql_string(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\') quoted += c;
        quoted += c;
    }
    return quoted + "'";
}

class TableWriter {
public:
    TableWriter(const HandleConfig& config, ReadOnlySession& session)
        : config_(config), session_(session), preparer_(config.engine.attr("dialect").attr("identifier_preparer")) {}

    std::string table_text(const std::string& name, const TableShape& shape, bool column_comments) {
        std::vector<std::string> lines;
        py::dict comments;
        for (const ColumnShape& column : shape.columns) {
            std::string line = "\t" + quote(column.name) + " " + column.type + (column.nullable ? "" : " NOT NULL");
            if (!column.comment.is_none()) {
                comments[column.name] = column.comment;
                // MySQL's CREATE TABLE carries each column's comment, as the stock handle shows it.
                if (is_mysql_family(config_.kind)) line += " COMMENT " + mysql_string(py::str(column.comment));
            }
            lines.push_back(line);
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
            py::module_ sa = zorvan::imported_module(zorvan::dep::sqlalchemy_module);
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
                if (!error.matches(zorvan::imported(zorvan::dep::sqlalchemy_exc_DBAPIError))) throw;
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
    // Tables the caller defined in the handle's MetaData are described as
    // defined; the others are read from the catalogue.
    Shapes defined;
    py::dict tables = config.metadata.attr("tables");
    std::vector<std::string> from_catalogue;
    for (const std::string& name : to_read) {
        const std::string key = config.schema.is_none() ? name : std::string(py::str(config.schema)) + "." + name;
        if (tables.contains(py::str(key))) {
            defined[name] = metadata_shape(config, tables[py::str(key)]);
        } else {
            from_catalogue.push_back(name);
        }
    }
    to_read = from_catalogue;
    if (!to_read.empty() || !defined.empty()) {
        Shapes shapes = to_read.empty()                         ? Shapes()
                        : config.kind == ServerKind::PostgreSQL ? read_postgres_shapes(session, config, to_read)
                                                                : read_inspector_shapes(session, config, to_read);
        for (auto& entry : defined) shapes[entry.first] = entry.second;
        if (config.indexes_in_table_info) read_indexes(session, config, shapes);
        TableWriter writer(config, session);
        for (const auto& [name, shape] : shapes) texts.push_back(writer.table_text(name, shape, column_comments));
    }
    std::sort(texts.begin(), texts.end());
    return join(texts, "\n\n");
}

}  // namespace zorvanai::custom_sql
