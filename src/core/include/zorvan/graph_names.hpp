// The names that the graph's modules share: the keys of one question's
// state, the graph's nodes, the labels of its routes and the keys of the
// answer record. A key or node is
// renamed here, once; the state's declaration, the nodes, the graph's wiring
// and the readers of the final state all use these constants.
#pragma once

namespace zorvan {

namespace key {
inline constexpr const char* user_question = "user_question";
inline constexpr const char* follow_up_question = "follow_up_question";
inline constexpr const char* schemas_from_relevant_tables = "schemas_from_relevant_tables";
inline constexpr const char* table_names_from_db = "table_names_from_db";
inline constexpr const char* relevant_tables = "relevant_tables";
inline constexpr const char* generated_sql_query = "generated_sql_query";
inline constexpr const char* sql_generation_prompt_type = "sql_generation_prompt_type";
inline constexpr const char* execution_success = "execution_success";
inline constexpr const char* execution_error = "execution_error";
inline constexpr const char* sql_execution_result = "sql_execution_result";
inline constexpr const char* pandas_code = "pandas_code";
inline constexpr const char* use_pandas_ai_flag = "use_pandas_ai_flag";
inline constexpr const char* image_path = "image_path";
inline constexpr const char* python_executed_output = "python_executed_output";
inline constexpr const char* save_path = "save_path";
inline constexpr const char* final_response = "final_response";
inline constexpr const char* iteration_count = "iteration_count";
inline constexpr const char* iteration_count_pandas = "iteration_count_pandas";
inline constexpr const char* rewrite_count = "rewrite_count";
inline constexpr const char* rewritten_question = "rewritten_question";
inline constexpr const char* max_iterations = "max_iterations";
inline constexpr const char* max_iterations_pandas = "max_iterations_pandas";
inline constexpr const char* python_execution_success = "python_execution_success";
inline constexpr const char* python_error_message = "python_error_message";
inline constexpr const char* pandas_generation_prompt_type = "pandas_generation_prompt_type";
}  // namespace key

namespace node {
inline constexpr const char* init = "init_node";
inline constexpr const char* table_names_lookup = "table_names_lookup_node";
inline constexpr const char* relevant_table_names = "relevant_table_names_node";
inline constexpr const char* relevant_schemas = "relevant_schemas_node";
inline constexpr const char* sql_generation = "sql_generation_node";
inline constexpr const char* rewrite_query = "rewrite_query_node";
inline constexpr const char* sql_syntax_checker = "sql_syntax_checker_node";
inline constexpr const char* sql_execution = "sql_execution_node";
inline constexpr const char* sql_error_handler = "sql_error_handler_node";
inline constexpr const char* pandas_generator = "pandas_generator_node";
inline constexpr const char* pandas_executor = "pandas_executor_node";
inline constexpr const char* pandas_error_handler = "pandas_error_handler_node";
inline constexpr const char* final_response_generation = "final_response_generation_node";
}  // namespace node

namespace route {
inline constexpr const char* pandas_generation = "pandas_generation";
inline constexpr const char* sql_execution_error = "sql_execution_error";
inline constexpr const char* regenerate_sql_query = "regenerate_sql_query";
inline constexpr const char* rewrite_query = "rewrite_query";
inline constexpr const char* terminal_failure_response = "terminal_failure_response";
inline constexpr const char* final_response = "final_response";
inline constexpr const char* pandas_execution_error = "pandas_execution_error";
inline constexpr const char* regenerate_pandas_code = "regenerate_pandas_code";
}  // namespace route

// The keys of the answer record that the agent returns for a question.
namespace answer {
inline constexpr const char* output = "output";
inline constexpr const char* python_code = "python_code";
inline constexpr const char* image_path = "image_path";
inline constexpr const char* generated_query = "generated_query";
inline constexpr const char* sql_execution_result = "sql_execution_result";
}  // namespace answer

}  // namespace zorvan
