#include "texts.hpp"

namespace zorvanai::qa_nodes {

// The indentation and the two blank-padded closing lines are part of the
// text the model sees; keep them byte for byte.
const char* const kSqlGenerationSystemText =
    R"(You are an agent designed to interact with a SQL database.
                    Given an input question, create a syntactically correct {dialect} query to run, then look at the results of the query and return the answer.
                    Unless the user specifies a specific number of examples they wish to obtain, always limit your query to at most 20 results.
                    You can order the results by a relevant column to return the most interesting examples in the database.
                    Never query for all the columns from a specific table, only ask for the relevant columns given the question.
                    You have access to tools for interacting with the database.
                    Only use the below tools. Only use the information returned by the below tools to construct your final answer.
                    You MUST double check your query before executing it. If you get an error while executing a query, rewrite the query and try again.

                    DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the database.

                    If the question does not seem related to the database, just return "I don't know" as the answer.
                    
                    )";

const char* const kSqlGenerationUserText =
    R"({user_question}
 Schemas_from_relevant_tables: {schemas_from_relevant_tables})";

const char* const kPandasCorrectionText =
    R"(The user asked the following question:
            {user_question}

            You generated this python code:
            {python_code}

            It fails with the following error:
            {error}

            Fix the python code above and return the new python code:)";

const char* const kAnswerRequest = R"(User question: {user_question}
SQL query: {generated_sql_query}
SQL query result: {sql_execution_result}
Python code: {pandas_code}
Python executed result: {python_executed_output}
Use the above result to address user's question. 
use context and instructions below from the user to present your answer in the best way.Only the anwer part{final_node_prompt}use context and instructions below{context_prompt}{custom_instructions})";

const char* const kInstructionsLine = "hahahaha : ";
const char* const kAnswerPromptLine = "General Response prompt: ";
const char* const kAnswerStartLog = "Enter generate response";
const char* const kAnswerTimeLog = "Finish generating response, took ";
const char* const kQueryTimeLog = "Invoke generate sql query tooks: ";

const char* const kSqlAttemptsUsedUp = "SQL generation failed after max iterations";
const char* const kPythonAttemptsUsedUp = "Python generation failed after max iterations";
const char* const kBadSqlPromptType = "Messages not generated correctly.";

}  // namespace zorvanai::qa_nodes
