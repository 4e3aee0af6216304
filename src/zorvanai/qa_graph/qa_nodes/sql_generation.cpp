#include "nodes.hpp"
#include "texts.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

py::object make_sql_generation(const std::string& module_name, const Globals& globals) {
    zorvan::ClassBuilder builder("SQLGeneration", module_name, runnable_base());
    builder.doc("Node that has the chat model write the query: a first attempt, or a correction after failures.")
        .method(
            "__init__", "(self, db, model)",
            "Keep the structured model, the dialect and both prompts.\n\n"
            "Args:\n"
            "    db: the database handle (CustomSQLDatabase).\n"
            "    model: the chat model (AzureChatOpenAI).",
            [globals](py::object self, py::object db, py::object model) {
                self.attr("model") = structured_model(model, globals, "SQLQueryInput");
                self.attr("dialect") = db.attr("dialect");
                py::list generate;
                generate.append(py::make_tuple("system", kSqlGenerationSystemText));
                generate.append(py::make_tuple("user", kSqlGenerationUserText));
                self.attr("generate_template") = chat_prompt(generate);
                py::list correct;
                correct.append(
                    prompts_attr("SystemMessagePromptTemplate").attr("from_template")(globals["SQL_PREFIX"]));
                correct.append(
                    prompts_attr("HumanMessagePromptTemplate")
                        .attr("from_template")(globals["CORRECT_SQL_TEMPLATE"], py::arg("template_format") = "jinja2"));
                self.attr("correct_template") = chat_prompt(correct);
            },
            py::arg("self"), py::arg("db"), py::arg("model"))
        .method(
            "generate_messages", "(self, state)",
            "Build the request: a first attempt or a correction.\n\n"
            "Chosen by the state's sql_generation_prompt_type, \"generation\" or \"correction\"\n"
            "(the correction shows the earlier queries and their errors).\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n\n"
            "Returns:\n"
            "    The chat messages (a list of BaseMessage).",
            [](py::object self, py::object state) -> py::object {
                zorvan::require_mapping(state, "state");
                py::object kind = item(state, zorvan::key::sql_generation_prompt_type);
                py::dict extra;
                extra["dialect"] = self.attr("dialect");
                if (equal(kind, py::str("generation"))) {
                    return format_with_state(self.attr("generate_template"), state, extra);
                }
                if (equal(kind, py::str("correction"))) {
                    extra["zipped_queries_errors"] = zip_lists(item(state, zorvan::key::generated_sql_query),
                                                               item(state, zorvan::key::sql_execution_result));
                    return format_with_state(self.attr("correct_template"), state, extra);
                }
                throw py::value_error("Messages not generated correctly.");
            },
            py::arg("self"), py::arg("state"))
        .method(
            "invoke", "(self, state, **kwargs)",
            "Have the stronger chat model write the next query.\n\n"
            "Args:\n"
            "    state: the graph state (a plain mapping).\n"
            "    **kwargs: ignored.\n\n"
            "Returns:\n"
            "    {\"generated_sql_query\": [the new query]}.\n\n"
            "Raises:\n"
            "    TypeError: state is not a mapping.",
            [globals](py::object self, py::object state, py::kwargs) {
                zorvan::require_mapping(state, "state");
                const double start = zorvan::wall_time();
                py::object messages = self.attr("generate_messages")(state);
                py::object reply = self.attr("model").attr("invoke")(messages);
                py::object query = reply.attr("sql_query");
                log_info(globals,
                         "Invoke generate sql query tooks: " + zorvan::float_repr(zorvan::wall_time() - start));
                py::list queries;
                queries.append(query);
                py::dict update;
                update[zorvan::key::generated_sql_query] = queries;
                return update;
            },
            py::arg("self"), py::arg("state"));
    return builder.build();
}

}  // namespace zorvanai::qa_nodes
