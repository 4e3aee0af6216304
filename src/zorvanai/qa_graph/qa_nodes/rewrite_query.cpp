#include "nodes.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_rewrite_query(const std::string& module_name, const Globals& globals) {
    zorvan::ClassBuilder builder("RewriteQuery", module_name, runnable_base());
    builder.doc("Node that has the chat model rewrite the question to fit the database's tables.")
        .method(
            "__init__", "(self, db, model)",
            "Keep the structured model, the table information tool and the prompt.\n\n"
            "Args:\n"
            "    db: the database handle (CustomSQLDatabase).\n"
            "    model: the chat model (AzureChatOpenAI).",
            [globals](py::object self, py::object db, py::object model) {
                self.attr("model") = structured_model(model, globals, "RewriteQueryOutput");
                self.attr("tool") = sql_tool("InfoSQLDatabaseTool")(py::arg("db") = db);
                py::list messages;
                messages.append(prompts_attr("SystemMessagePromptTemplate")
                                    .attr("from_template")(globals["REWRITE_QUESTION_TEMPLATE"]));
                self.attr("template") = chat_prompt(messages);
            },
            py::arg("self"), py::arg("db"), py::arg("model"))
        .method(
            "generate_prompt", "(self, state)",
            "Build the request from the question and the definitions of every table.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n\n"
            "Returns:\n"
            "    One system message (in a list).",
            [](py::object self, py::object state) {
                zorvan::require_mapping(state, "state");
                py::object names = join_if_list(item(state, zorvan::key::table_names_from_db));
                py::object schemas = self.attr("tool").attr("_run")(names);
                return self.attr("template")
                    .attr("format_messages")(py::arg("user_question") = item(state, zorvan::key::user_question),
                                             py::arg("schemas_from_all_tables") = schemas);
            },
            py::arg("self"), py::arg("state"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Have the chat model rewrite the question to fit the database's tables.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n"
            "    **kwargs: ignored.\n\n"
            "Returns:\n"
            "    {\"rewritten_question\": the new question}.\n\n"
            "Raises:\n"
            "    TypeError: state is not a mapping.",
            [](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                py::object prompt = self.attr("generate_prompt")(state);
                py::object reply = self.attr("model").attr("invoke")(prompt);
                py::dict update;
                update[zorvan::key::rewritten_question] = reply.attr(zorvan::key::rewritten_question);
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
