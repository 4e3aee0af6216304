#include "texts.hpp"

namespace zorvanai::qa_nodes {

// The indentation and the two blank-padded closing lines are part of the
// text the model sees; keep them byte for byte.
const char* const kSqlGenerationSystemText =
    "You are an agent designed to interact with a SQL database.\n"
    "                    Given an input question, create a syntactically correct {dialect} query to run, then look at "
    "the results of the query and return the answer.\n"
    "                    Unless the user specifies a specific number of examples they wish to obtain, always limit "
    "your query to at most 20 results.\n"
    "                    You can order the results by a relevant column to return the most interesting examples in the "
    "database.\n"
    "                    Never query for all the columns from a specific table, only ask for the relevant columns "
    "given the question.\n"
    "                    You have access to tools for interacting with the database.\n"
    "                    Only use the below tools. Only use the information returned by the below tools to construct "
    "your final answer.\n"
    "                    You MUST double check your query before executing it. If you get an error while executing a "
    "query, rewrite the query and try again.\n"
    "\n"
    "                    DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the database.\n"
    "\n"
    "                    If the question does not seem related to the database, just return \"I don't know\" as the "
    "answer.\n"
    "                    \n"
    "                    ";

const char* const kSqlGenerationUserText =
    "{user_question}\n"
    " Schemas_from_relevant_tables: {schemas_from_relevant_tables}";

const char* const kPandasCorrectionText =
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:";

}  // namespace zorvanai::qa_nodes
