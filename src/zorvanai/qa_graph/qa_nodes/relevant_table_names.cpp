#include "nodes.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_relevant_table_names(const std::string& module_name, const Globals& globals) {
    zorvan::ClassBuilder builder("RelevantTableNames", module_name, runnable_base());
    builder.doc("Node that asks the chat model which tables matter for the question.")
        .method(
            "__init__", "(self, db, model)",
            "Keep the dialect, the structured model and the prompt.\n\n"
            "Args:\n"
            "    db: the database handle (CustomSQLDatabase).\n"
            "    model: the chat model (AzureChatOpenAI).",
            [globals](py::object self, py::object db, py::object model) {
                self.attr("dialect") = db.attr("dialect");
                self.attr("model") = structured_model(model, globals, "RelevantTablesOutput");
                py::list messages;
                messages.append(
                    prompts_attr("SystemMessagePromptTemplate").attr("from_template")(globals["SQL_PREFIX"]));
                messages.append(prompts_attr("HumanMessagePromptTemplate")
                                    .attr("from_template")(globals["GET_RELEVANT_TABLE_NAMES_TEMPLATE"]));
                self.attr("template") = chat_prompt(messages);
            },
            py::arg("self"), py::arg("db"), py::arg("model"))
        .method(
            "generate_prompt", "(self, state)",
            "Build the request for the state's question and table list.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n\n"
            "Returns:\n"
            "    The system and human messages (a list of BaseMessage).",
            [globals](py::object self, py::object state) {
                zorvan::require_mapping(state, "state");
                py::object question = chosen_question(state);
                py::object names = join_if_list(item(state, zorvan::key::table_names_from_db));
                py::list messages = self.attr("template")
                                        .attr("format_messages")(py::arg("dialect") = self.attr("dialect"),
                                                                 py::arg("user_question") = question,
                                                                 py::arg("table_names_from_db") = names);
                // The tail holds literal JSON braces, so it is appended after
                // formatting instead of passing through the template.
                py::object human = messages[1];
                py::object content = human.attr("content");
                human.attr("content") = content + globals["TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE"];
                return messages;
            },
            py::arg("self"), py::arg("state"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Ask the chat model which tables matter for the question.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n"
            "    **kwargs: ignored.\n\n"
            "Returns:\n"
            "    {\"relevant_tables\": the table names the model picked}.\n\n"
            "Raises:\n"
            "    TypeError: state is not a mapping.",
            [](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                py::object prompt = self.attr("generate_prompt")(state);
                py::object reply = self.attr("model").attr("invoke")(prompt);
                py::dict update;
                update[zorvan::key::relevant_tables] = reply.attr(zorvan::key::relevant_tables);
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
