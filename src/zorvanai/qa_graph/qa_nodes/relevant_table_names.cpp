#include "node_class.hpp"
#include "nodes.hpp"

namespace zorvanai::qa_nodes {

py::object make_relevant_table_names(const std::string& module_name, const Globals& globals) {
    return NodeClass("RelevantTableNames", module_name,
                     "Node that asks the chat model which tables matter for the question.")
        .init_db_structured(globals, "RelevantTablesOutput", "Keep the dialect, the structured model and the prompt.",
                            [globals](py::object self, py::object db) {
                                self.attr("dialect") = db.attr("dialect");
                                py::list messages;
                                messages.append(message_template("SystemMessagePromptTemplate", globals["SQL_PREFIX"]));
                                messages.append(message_template("HumanMessagePromptTemplate",
                                                                 globals["GET_RELEVANT_TABLE_NAMES_TEMPLATE"]));
                                self.attr("template") = chat_prompt(messages);
                            })
        .on_state("generate_prompt",
                  prompt_doc("Build the request for the state's question and table list.",
                             "The system and human messages (a list of BaseMessage)."),
                  [globals](py::object self, py::object state) {
                      py::object question = chosen_question(state);
                      py::object names = join_if_list(item(state, zorvan::key::table_names_from_db));
                      py::list messages = self.attr("template")
                                              .attr("format_messages")(py::arg("dialect") = self.attr("dialect"),
                                                                       py::arg("user_question") = question,
                                                                       py::arg("table_names_from_db") = names);
                      // The tail holds literal JSON braces, so it is appended
                      // after formatting instead of passing through the template.
                      py::object human = messages[1];
                      py::object content = human.attr("content");
                      human.attr("content") = content + globals["TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE"];
                      return messages;
                  })
        .invoke(invoke_doc("Ask the chat model which tables matter for the question.",
                           R"({"relevant_tables": the table names the model picked}.)"),
                [](py::object self, py::object state) { return ask_for(self, state, zorvan::key::relevant_tables); })
        .build();
}

}  // namespace zorvanai::qa_nodes
