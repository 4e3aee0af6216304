#include "relevant_table_picker.hpp"

#include <optional>
#include <vector>

#include "ranker.hpp"
#include "shortlist.hpp"
#include "table_names.hpp"
#include "zorvan/chat_client.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/interpreter_store.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::function_calling {

namespace {
// Name of the function that the model is made to call.
constexpr const char* kPickToolName = "select_relevant_tables";

constexpr long kMaxTokens = 8192;

py::dict pick_tool() {
    py::dict items;
    items["type"] = "string";
    py::dict relevant_tables;
    relevant_tables["type"] = "array";
    relevant_tables["items"] = items;
    relevant_tables["description"] =
        "Names of the tables that a query answering the question needs, spelled exactly as in the table list, "
        "most important first.";
    py::dict properties;
    properties[zorvan::key::relevant_tables] = relevant_tables;
    py::dict parameters;
    parameters["type"] = "object";
    parameters["properties"] = properties;
    py::list required;
    required.append(zorvan::key::relevant_tables);
    parameters["required"] = required;

    py::dict function;
    function["name"] = kPickToolName;
    function["description"] = "Report which tables of the database are relevant to the user's question.";
    function["parameters"] = parameters;
    py::dict tool;
    tool["type"] = "function";
    tool["function"] = function;
    return tool;
}

std::string system_text(const std::string& dialect) {
    return "You select the tables of a " + dialect +
           R"( database that are needed to answer a user's question with one SQL query.
Call the function )" +
           kPickToolName +
           " exactly once. Pass every table that the query will read, most important first, "
           "each name spelled exactly as in the table list. Pass an empty list when no table fits the question.";
}

std::string human_text(const std::string& question, const std::vector<std::string>& tables) {
    return "Tables: " + join_names(tables) + "\nQuestion: " + question;
}

// The question the tables are picked for: the rewritten question once
// there is one, else the user's.
std::string question_of(py::handle state) {
    py::object rewritten = py::reinterpret_borrow<py::object>(state).attr("get")(zorvan::key::rewritten_question);
    if (!rewritten.is_none() && py::len(rewritten) > 0) return py::str(rewritten);
    return py::str(state[py::str(zorvan::key::user_question)]);
}

[[noreturn]] void refuse_reply(const std::string& why) {
    py::object error = zorvan::imported(zorvan::dep::langchain_core_exceptions_OutputParserException);
    PyErr_SetObject(error.ptr(), py::str("The relevant-table reply " + why).ptr());
    throw py::error_already_set();
}

// The names a reply without a function call gives as JSON text, as a
// server that cannot force the call may answer: {zorvan::key::relevant_tables: [...]}
// or a bare list.
std::optional<py::object> names_in_text(py::handle reply) {
    py::object content = reply.attr("content");
    if (!py::isinstance<py::str>(content)) return std::nullopt;
    std::string text = content.cast<std::string>();
    const auto open = text.find_first_of("[{");
    const auto close = text.find_last_of("]}");
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    py::object value;
    try {
        value = zorvan::imported(zorvan::dep::json_loads)(text.substr(open, close - open + 1));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        return std::nullopt;
    }
    if (PyDict_Check(value.ptr()) && py::dict(value).contains(zorvan::key::relevant_tables))
        return value[zorvan::key::relevant_tables];
    if (py::isinstance<py::list>(value)) return value;
    return std::nullopt;
}

std::vector<std::string> checked_names(const py::object& names) {
    if (!py::isinstance<py::list>(names)) refuse_reply("gives relevant_tables that is not a list");
    std::vector<std::string> picked;
    for (py::handle name : names) {
        if (!py::isinstance<py::str>(name)) refuse_reply("gives a table name that is not a string");
        picked.push_back(name.cast<std::string>());
    }
    return picked;
}

// The models ("endpoint|model") whose servers refused a forced call, for as
// long as the process runs: later pickers offer the function unforced at once.
py::set unforcing_models() {
    return zorvan::kept("picker.unforcing_models", [] { return py::set(); });
}

std::string model_key(const py::object& config) {
    std::string key;
    for (const char* field : {"azure_endpoint", "base_url", "azure_deployment", "model"}) {
        py::object value = py::getattr(config, field, py::none());
        if (!value.is_none()) key += std::string(py::str(value)) + "|";
    }
    return key;
}

// True for a server's refusal of a forced function call.
bool refuses_tool_choice(const py::error_already_set& error) {
    const bool rejected = error.matches(zorvan::imported(zorvan::dep::openai_BadRequestError)) ||
                          error.matches(zorvan::imported(zorvan::dep::openai_UnprocessableEntityError));
    if (!rejected) return false;
    const std::string text = py::str(py::str(error.value()).attr("lower")());
    return text.find("tool_choice") != std::string::npos || text.find("tool choice") != std::string::npos;
}

// The table names of the model's call of the pick function.
std::vector<std::string> picked_names(py::handle reply) {
    py::list calls = reply.attr("tool_calls");
    for (py::handle call : calls) {
        if (!py::str(kPickToolName).equal(call["name"])) continue;
        py::object args = call["args"];
        if (!py::isinstance<py::dict>(args) || !args.contains(zorvan::key::relevant_tables)) {
            refuse_reply("lacks the argument relevant_tables");
        }
        return checked_names(args[zorvan::key::relevant_tables]);
    }
    py::list invalid = reply.attr("invalid_tool_calls");
    if (py::len(invalid) > 0) {
        refuse_reply("calls " + std::string(kPickToolName) +
                     " with arguments that are not JSON: " + std::string(py::str(invalid[0]["args"])));
    }
    if (auto names = names_in_text(reply)) return checked_names(*names);
    refuse_reply("does not call " + std::string(kPickToolName));
}

py::list messages_for(py::handle self, const std::string& question, const std::vector<std::string>& tables) {
    const std::string dialect = py::str(self.attr("dialect"));
    py::list messages;
    messages.append(zorvan::imported(zorvan::dep::langchain_core_messages_SystemMessage)(system_text(dialect)));
    messages.append(zorvan::imported(zorvan::dep::langchain_core_messages_HumanMessage)(human_text(question, tables)));
    return messages;
}

// The state's tables, narrowed to the shortlist on a large database.
std::vector<std::string> tables_for(py::handle self, py::handle cache, py::handle state, const std::string& question) {
    const auto size = self.attr("shortlist_size").cast<std::size_t>();
    return offered_tables(self.attr("db"), cache, question,
                          candidate_tables(state[py::str(zorvan::key::table_names_from_db)]), size);
}

// The tables offered for a question: `tables` (a table list as the state
// holds it), or the handle's usable tables.
py::list shortlist_of(py::handle self, py::handle cache, py::handle question, py::handle tables) {
    if (!py::isinstance<py::str>(question)) {
        throw py::type_error("question must be a string, not " + zorvan::type_name(question));
    }
    py::object source = tables.is_none() ? self.attr("db").attr("get_usable_table_names")()
                                         : py::reinterpret_borrow<py::object>(tables);
    py::list offered;
    for (const auto& name : offered_tables(self.attr("db"), cache, question.cast<std::string>(),
                                           candidate_tables(source), self.attr("shortlist_size").cast<std::size_t>()))
        offered.append(py::str(name));
    return offered;
}

py::list prompt_of(py::handle self, py::handle cache, py::handle state) {
    zorvan::require_mapping(state, "state");
    const std::string question = question_of(state);
    return messages_for(self, question, tables_for(self, cache, state, question));
}

py::dict pick(py::object self, py::handle cache, py::object state) {
    zorvan::require_mapping(state, "state");
    const std::string question = question_of(state);
    const auto tables = tables_for(self, cache, state, question);
    py::dict update;
    if (tables.empty()) {
        // Nothing to choose from: no model call.
        update[zorvan::key::relevant_tables] = py::list();
        return update;
    }
    const py::list messages = messages_for(self, question, tables);
    py::object reply;
    try {
        reply = self.attr("model").attr("invoke")(messages);
    } catch (py::error_already_set& error) {
        if (!refuses_tool_choice(error)) throw;
        // Offer the function without forcing it, from now on.
        self.attr("model") = self.attr("unforced_model");
        unforcing_models().add(py::str(model_key(self.attr("config"))));
        reply = self.attr("model").attr("invoke")(messages);
    }
    std::vector<std::string> usable;
    for (py::handle name : self.attr("db").attr("get_usable_table_names")()) usable.push_back(py::str(name));
    py::list picked;
    for (const auto& name : match_usable_tables(picked_names(reply), usable)) picked.append(name);
    update[zorvan::key::relevant_tables] = picked;
    return update;
}

}  // namespace

py::object make_relevant_table_picker_class(const std::string& module_name) {
    // One table ranker per database handle, for as long as the handle lives.
    py::object rankers = zorvan::imported(zorvan::dep::weakref_WeakKeyDictionary)();
    zorvan::ClassBuilder builder("RelevantTablePicker", module_name,
                                 zorvan::imported(zorvan::dep::langchain_core_runnables_Runnable));
    builder.doc(
        R"(Picks the tables of the database that matter for a question.

The lighter Azure OpenAI deployment is made to call the function
select_relevant_tables with the relevant names, given the dialect, the
state's table list and the question (the rewritten question once there is
one). Only usable tables of the database are kept, in the database's own
spelling (case and quoting or schema prefixes of the model ignored), in the
order the model gave, without duplicates.

On a database with more tables than shortlist_size, the model is offered only
the shortlist_size tables that a local ranker puts first for the question (by
the words of table and column names, rare words weighing more, and foreign
keys); the ranker is built from one catalogue read per database handle.

A server that refuses a forced function call (tool_choice) is offered the function
unforced from then on (``unforced_model``), by this picker and by every later one for
the same model; a reply that gives the names as JSON text instead of a call is read
too.)");
    builder.method(
        "__init__", "(self, config, db, shortlist_size=60)",
        R"(Build the chat client (temperature 0, at most 8192 tokens) bound to the function call.

No model is called here.

Args:
    config: the settings record of the lighter deployment (AzureOpenAIChat35).
    db: the database handle (CustomSQLDatabase).
    shortlist_size: the most tables the model is offered (a whole number of at least 1).

Raises:
    TypeError: shortlist_size is not a whole number.
    ValueError: shortlist_size is below 1.)",
        [](py::object self, py::object config, py::object db, py::object shortlist_size) {
            if (py::isinstance<py::bool_>(shortlist_size) || !py::isinstance<py::int_>(shortlist_size))
                throw py::type_error("shortlist_size must be a whole number, not " + zorvan::type_name(shortlist_size));
            if (shortlist_size.cast<long long>() < 1) throw py::value_error("shortlist_size must be at least 1");
            self.attr("shortlist_size") = shortlist_size;
            self.attr("config") = config;
            self.attr("db") = db;
            self.attr("dialect") = py::str(db.attr("dialect"));
            py::dict extra;
            extra["max_tokens"] = py::int_(kMaxTokens);
            extra["temperature"] = py::int_(0);
            py::object client = zorvan::chat_client(config, extra);
            py::list tools;
            tools.append(pick_tool());
            self.attr("model") = client.attr("bind_tools")(tools, py::arg("tool_choice") = kPickToolName);
            self.attr("unforced_model") = client.attr("bind_tools")(tools);
            if (unforcing_models().contains(py::str(model_key(config))))
                self.attr("model") = self.attr("unforced_model");
        },
        py::arg("self"), py::arg("config"), py::arg("db"), py::arg("shortlist_size") = py::int_(kDefaultShortlistSize));
    builder.method(
        "generate_prompt", "(self, state)",
        R"(Build the request for a state: its question and table list.

Args:
    state: the graph state (a mapping with user_question and table_names_from_db).

Returns:
    The two chat messages (system, human) sent to the model.)",
        [rankers](py::object self, py::object state) { return prompt_of(self, rankers, state); }, py::arg("self"),
        py::arg("state"));
    builder.method(
        "shortlist", "(self, question, tables=None)",
        R"(Name the tables the model is offered for a question.

Every table when there are at most shortlist_size of them, else the ranker's
shortlist; no model is called.

Args:
    question: the question, in plain words.
    tables: the table list (names, or a list as table_names_from_db holds it);
        None reads the handle's usable tables.

Returns:
    The offered table names, in the order of the table list.

Raises:
    TypeError: question is not a string.)",
        [rankers](py::object self, py::object question, py::object tables) {
            return shortlist_of(self, rankers, question, tables);
        },
        py::arg("self"), py::arg("question"), py::arg("tables") = py::none());
    builder.method(
        "invoke", "(self, state, **kwargs)",
        R"(Pick the relevant tables for the state's question.

With an empty table list no model is called.

Args:
    state: the graph state (a mapping).
    **kwargs: ignored.

Returns:
    {"relevant_tables": [...]}: usable tables in the database's spelling.

Raises:
    TypeError: state is not a mapping.
    OutputParserException: the reply holds no usable call of the function.)",
        [rankers](py::object self, py::object state, py::kwargs) { return pick(self, rankers, state); },
        py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::function_calling
