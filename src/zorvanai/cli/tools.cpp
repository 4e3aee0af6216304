// The `schema` and `context` commands: thin front ends of the database tool
// and the context store.
#include "cli.hpp"
#include "zorvan/console.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

namespace {

std::string stored_text(const py::object& values, const char* key) {
    if (!PyDict_Check(values.ptr())) return "";
    py::dict record = py::reinterpret_borrow<py::dict>(values);
    if (!record.contains(key) || record[key].is_none()) return "";
    return py::str(record[key]);
}

std::string shown(const std::string& text) {
    if (first_line(text).empty()) return "  (none)\n";
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out += "  " + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

py::module_ context_store() {
    try {
        return zorvan::imported_module(zorvan::dep::zorvanai_prompts_context_module);
    } catch (py::error_already_set& error) {
        py::object cause = root_error(error.value());
        if (py::isinstance(cause, zorvan::imported(zorvan::dep::json_JSONDecodeError))) {
            throw CommandError("context.json is not valid JSON: " + first_line(py::str(cause)), kExitFailure);
        }
        if (py::isinstance(cause, py::handle(PyExc_OSError))) {
            throw CommandError("cannot read context.json: " + describe_error(error), kExitFailure);
        }
        throw;
    }
}

// What the database tool printed, on one line: a driver's message may span
// several, and the PostgreSQL line wraps it in "The error '...' occurred".
std::string tool_message(const std::string& printed) {
    std::string text;
    std::size_t start = 0;
    while (start < printed.size()) {
        std::size_t end = printed.find('\n', start);
        if (end == std::string::npos) end = printed.size();
        const std::string line = first_line(printed.substr(start, end - start));
        if (!line.empty()) text += (text.empty() ? "" : " ") + line;
        start = end + 1;
    }
    const std::string open = "The error '", close = "' occurred";
    if (text.rfind(open, 0) == 0 && text.size() >= open.size() + close.size() &&
        text.compare(text.size() - close.size(), close.size(), close) == 0) {
        text = first_line(text.substr(open.size(), text.size() - open.size() - close.size()));
    }
    return text;
}

}  // namespace

int schema_command(const py::object& args, const Streams& streams) {
    py::object db = load_settings(true, false);
    const std::string engine = py::str(db.attr("engine"));
    if (engine == "MsSQL") {
        throw CommandError("the schema listing supports MySQL, PostgreSQL and SQLite; ZORVAN_DB_ENGINE is MsSQL",
                           kExitUsage);
    }
    py::module_ dbtool = zorvan::imported_module(zorvan::dep::zorvanai_dbtool_module);
    py::object schema;
    std::string printed;
    {
        // The tool reports its failures by printing one line, which is read here.
        zorvan::QuietScope printing(false);
        DivertedOutput diverted{py::none()};
        if (engine == "SQLite") {
            dbtool.attr("db_name") = db.attr("db_name");
            schema = dbtool.attr("get_sqlite_schema")();
        } else {
            dbtool.attr("set_database_config")(db.attr("db_name"), db.attr("db_user"), db.attr("db_password"),
                                               db.attr("db_host"), db.attr("db_port"));
            schema = engine == "MySQL" ? dbtool.attr("get_mysql_database_schema")() : dbtool.attr("get_pgdb_schema")();
        }
        printed = diverted.text();
    }
    if (schema.is_none()) {
        const std::string reason = tool_message(printed);
        throw CommandError("cannot read the schema: " + (reason.empty() ? std::string("no connection") : reason),
                           kExitFailure);
    }
    // A listing cut short by an error is still shown, with the error.
    if (!tool_message(printed).empty()) write(streams.err, "zorvanai: " + tool_message(printed) + "\n");
    write(streams.out, py::bool_(args.attr("json")) ? to_json(schema) : render_schema(schema));
    return kExitOk;
}

int context_command(const py::object& args, const Streams& streams) {
    const std::string action = py::str(args.attr("action"));
    py::module_ store = context_store();
    const std::string file = py::str(store.attr("FILE_PATH"));
    if (action == "show") {
        py::object values = store.attr("read_values")();
        if (py::bool_(args.attr("json"))) {
            write(streams.out, to_json(values));
        } else {
            write(streams.out, "Context:\n" + shown(stored_text(values, "context_prompt")) + "Instructions:\n" +
                                   shown(stored_text(values, "custom_instructions")));
        }
        return kExitOk;
    }
    const std::string text = text_argument(args.attr("text"));
    const bool is_context = action == "set";
    try {
        store.attr(is_context ? "set_context" : "set_instructions")(text);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_OSError)) throw;
        throw CommandError("cannot write " + file + ": " + describe_error(error), kExitFailure);
    }
    write(streams.out, std::string(is_context ? "Context" : "Instructions") + " saved in " + file + ".\n");
    return kExitOk;
}

}  // namespace zorvanai::cli
