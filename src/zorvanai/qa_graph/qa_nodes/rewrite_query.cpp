#include "node_class.hpp"
#include "nodes.hpp"

namespace zorvanai::qa_nodes {

py::object make_rewrite_query(const std::string& module_name, const Globals& globals) {
    return NodeClass("RewriteQuery", module_name,
                     "Node that has the chat model rewrite the question to fit the database's tables.")
        .init_db_structured(
            globals, "RewriteQueryOutput", "Keep the structured model, the table information tool and the prompt.",
            [globals](py::object self, py::object db) {
                self.attr("tool") = sql_tool("InfoSQLDatabaseTool")(py::arg("db") = db);
                py::list messages;
                messages.append(message_template("SystemMessagePromptTemplate", globals["REWRITE_QUESTION_TEMPLATE"]));
                self.attr("template") = chat_prompt(messages);
            })
        .on_state("generate_prompt",
                  prompt_doc("Build the request from the question and the definitions of every table.",
                             "One system message (in a list)."),
                  [](py::object self, py::object state) {
                      py::object names = join_if_list(item(state, zorvan::key::table_names_from_db));
                      py::object schemas = self.attr("tool").attr("_run")(names);
                      return self.attr("template")
                          .attr("format_messages")(py::arg("user_question") = item(state, zorvan::key::user_question),
                                                   py::arg("schemas_from_all_tables") = schemas);
                  })
        .invoke(invoke_doc("Have the chat model rewrite the question to fit the database's tables.",
                           R"({"rewritten_question": the new question}.)"),
                [](py::object self, py::object state) { return ask_for(self, state, zorvan::key::rewritten_question); })
        .build();
}

}  // namespace zorvanai::qa_nodes
