// The fixed instruction texts from which the graph nodes build their prompts.
// Texts with {name} placeholders are brace templates; texts with {{ name }}
// and {% for %} are Jinja2 templates. Each is the file texts/<NAME>.txt,
// compiled in by the build. Every byte matters: trailing blanks and leading
// or trailing line breaks are part of the texts.
#pragma once

namespace zorvanai::qa_prompts {

// System message of the relevant-table and SQL correction prompts; {dialect} twice.
extern const char* const SQL_PREFIX;
// Human message of the relevant-table prompt; {user_question}, {table_names_from_db}.
extern const char* const GET_RELEVANT_TABLE_NAMES_TEMPLATE;
// Appended after formatting: its braces are literal JSON.
extern const char* const TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;
// System message of the rewrite prompt; {user_question}, {schemas_from_all_tables}.
extern const char* const REWRITE_QUESTION_TEMPLATE;
// Exported; {user_question}, {schemas_from_relevant_tables}.
extern const char* const GENERATE_SQL_TEMPLATE;
// Jinja2; user_question, schemas_from_relevant_tables, zipped_queries_errors.
extern const char* const CORRECT_SQL_TEMPLATE;
// Jinja2; save_path, instructions. Begins with a double quote.
extern const char* const PANDAS_SYSTEM_TEMPLATE;
// Jinja2; original_question, zipped_queries_results.
extern const char* const PANDAS_HUMAN_TEMPLATE;

}  // namespace zorvanai::qa_prompts
