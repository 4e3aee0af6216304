#include "node_class.hpp"
#include "nodes.hpp"
#include "texts.hpp"

namespace zorvanai::qa_nodes {

namespace {
// The dialect, and the two requests: a first attempt (the module's own
// texts) and a correction (the shared templates, the human one in Jinja2).
void keep_prompts(py::object self, py::object db, const Globals& globals) {
    self.attr("dialect") = db.attr("dialect");
    py::list generate;
    generate.append(py::make_tuple("system", kSqlGenerationSystemText));
    generate.append(py::make_tuple("user", kSqlGenerationUserText));
    self.attr("generate_template") = chat_prompt(generate);
    py::list correct;
    correct.append(message_template("SystemMessagePromptTemplate", globals["SQL_PREFIX"]));
    correct.append(message_template("HumanMessagePromptTemplate", globals["CORRECT_SQL_TEMPLATE"], true));
    self.attr("correct_template") = chat_prompt(correct);
}
}  // namespace

py::object make_sql_generation(const std::string& module_name, const Globals& globals) {
    return NodeClass("SQLGeneration", module_name,
                     "Node that has the chat model write the query: a first attempt, or a correction after failures.")
        .init_db_structured(globals, "SQLQueryInput", "Keep the structured model, the dialect and both prompts.",
                            [globals](py::object self, py::object db) { keep_prompts(self, db, globals); })
        .on_state("generate_messages",
                  prompt_doc(R"(Build the request: a first attempt or a correction.

Chosen by the state's sql_generation_prompt_type, "generation" or "correction"
(the correction shows the earlier queries and their errors).)",
                             "The chat messages (a list of BaseMessage)."),
                  [](py::object self, py::object state) -> py::object {
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
                      throw py::value_error(kBadSqlPromptType);
                  })
        .invoke(invoke_doc("Have the stronger chat model write the next query.",
                           R"({"generated_sql_query": [the new query]}.)"),
                [globals](py::object self, py::object state) {
                    const double start = zorvan::wall_time();
                    py::object messages = self.attr("generate_messages")(state);
                    py::object reply = self.attr("model").attr("invoke")(messages);
                    py::object query = reply.attr("sql_query");
                    log_info(globals, kQueryTimeLog + zorvan::float_repr(zorvan::wall_time() - start));
                    py::list queries;
                    queries.append(query);
                    return update_of(zorvan::key::generated_sql_query, queries);
                })
        .build();
}

}  // namespace zorvanai::qa_nodes
