#include "texts.hpp"

// clang-format off
namespace zorvanai::qa_prompts {

const char* const SQL_PREFIX = R"zv(
<SQLAgent>
  <Dialect>{dialect}</Dialect>
  <Guidelines>
    - Use correct syntax for {dialect}.
    - Table names must match the database list exactly.
    - No DML operations (INSERT, UPDATE, DELETE, DROP, etc.).
    - Limit query results and avoid querying all columns where applicable.
  </Guidelines>
</SQLAgent>
)zv";

const char* const GET_RELEVANT_TABLE_NAMES_TEMPLATE = R"zv(
  <context>
    <user_question>{user_question}</user_question>
    <table_names>{table_names_from_db}</table_names>
  </context>
)zv";

const char* const TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE = R"zv(
  <task>
    Identify and return relevant table names from <table_names>. Ensure matching case. Format as JSON: 
    {"relevant_tables": ["TABLE_NAME_1", "TABLE_NAME_2"]}.
  </task>
)zv";

const char* const REWRITE_QUESTION_TEMPLATE = R"zv(
<context>
  <user_question>{user_question}</user_question>
  <database_info>
      <schemas_database>
        {schemas_from_all_tables}
      </schemas_database>
  </database_info>
</context>
<task>
 Rewrite this question by adapting database information. Enclose the rewritten question in <rewritten_question> tags.
</task>
)zv";

const char* const GENERATE_SQL_TEMPLATE = R"zv(
  <context>
    <user_question>{user_question}</user_question>

    <database_info>
      <schemas_database>
        {schemas_from_relevant_tables}
      </schemas_database>
    </database_info>

  </context>

  <task>
    Generate a SQL query for the user's question. Enclose the query in <sql_query> tags.
    Do not return anything other than the sql query in <sql_query> tags.
    The questions asking for trends/forecasting will need you to reason highly, deal with errors such as incorrect date formatting since you are an intelligent agent.
  </task>
)zv";

const char* const CORRECT_SQL_TEMPLATE = R"zv(
<context>
  <user_question>{{ user_question }}</user_question>

  <database_info>
    <schemas_database>
        {{ schemas_from_relevant_tables }}
    </schemas_database>
  </database_info>

  <sql_context>
    {% for query, error in zipped_queries_errors %}
      <query_execution_pair>
        <query index="{{ loop.index }}">
          {{ query }}
        </query>
        <error index="{{ loop.index }}">
          {{ error }}
        </error>
      </query_execution_pair>
    {% endfor %}
  </sql_context>
</context>

<task>
  <sql_analysis>
    Analyze the SQL queries and respective errors provided in the <sql_context> section.
    Use the indexed pairs to identify the most likely cause of each error and reason briefly about how to fix it.
  </sql_analysis>
  <sql_correction>
    Based on the analysis, correct the SQL query.
    Use your reasoning from the <sql_analysis> to make specific adjustments.
    Enclose the query in <sql_query> tags.
  </sql_correction>
</task>
)zv";

const char* const PANDAS_SYSTEM_TEMPLATE = R"zv("
You are an pandas assistant code. 
Use this script for filling None/Na value.
```
def fillna_based_on_dtype(df):
    for column in df.columns:
        if pd.api.types.is_numeric_dtype(df[column]):
            df[column] = df[column].fillna(0)  # Example: fill numeric with mean
        elif pd.api.types.is_categorical_dtype(df[column]) or df[column].dtype == object:
            df[column] = df[column].fillna("")  # Example: fill categorical with mode
        elif pd.api.types.is_bool_dtype(df[column]):
            df[column] = df[column].fillna(False)  # Example: fill boolean with False
    return df
```
Remember when dealing with Decimal (from execution result), treat them as float values.
The following modules are already installed and you can utilise them for questions that require
your creativity: # The agents default modules are :["matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas",
"scipy", "datetime", "decimal"]
When using matplotlib dont show the graph instead save it in {{ save_path }} - matplotlib code should
create this directory if doesnt exist-  in the current base directory. When you generate
a graph label it well, and metion you generate a graph and return the path to saved graph in your final
response.

The only allowed file types you can generate are images(so if you generate a table e.g it has to be in image
format). The questions asking for trends/forecasting will need you to reason highly, deal with 
errors such as incorrect date formatting since you are an intelligent ag
ent.
Remember to include from decimal import Decimal at beginning code block.
These are additional user instructions that you must follow before giving the final answer: {{instructions}}
)zv";

const char* const PANDAS_HUMAN_TEMPLATE = R"zv(
<context>
    <original_question>{{ original_question }}</original_question>
    <sql_context>
      {% for query, execution_result in zipped_queries_results %}
          <query index="{{ loop.index }}">
            {{ query }}
          </query>
          <execution_result index="{{ loop.index }}">
            {{ execution_result }}
          </execution_result>
      {% endfor %}
    </sql_context>
</context>
)zv";

}  // namespace zorvanai::qa_prompts
// clang-format on
