"""The prompt texts are exactly the texts the model must receive."""

import jinja2
import pytest

from zorvanai.qa_graph import qa_prompts

# Each text line by line; the list is joined by single line breaks.
EXPECTED = {
    "SQL_PREFIX": "\n".join([
        '',
        '<SQLAgent>',
        '  <Dialect>{dialect}</Dialect>',
        '  <Guidelines>',
        '    - Use correct syntax for {dialect}.',
        '    - Table names must match the database list exactly.',
        '    - No DML operations (INSERT, UPDATE, DELETE, DROP, etc.).',
        '    - Limit query results and avoid querying all columns where applicable.',
        '  </Guidelines>',
        '</SQLAgent>',
        '',
    ]),
    "GET_RELEVANT_TABLE_NAMES_TEMPLATE": "\n".join([
        '',
        '  <context>',
        '    <user_question>{user_question}</user_question>',
        '    <table_names>{table_names_from_db}</table_names>',
        '  </context>',
        '',
    ]),
    "TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE": "\n".join([
        '',
        '  <task>',
        '    Identify and return relevant table names from <table_names>. Ensure matching case. Format as JSON: ',
        '    {"relevant_tables": ["TABLE_NAME_1", "TABLE_NAME_2"]}.',
        '  </task>',
        '',
    ]),
    "REWRITE_QUESTION_TEMPLATE": "\n".join([
        '',
        '<context>',
        '  <user_question>{user_question}</user_question>',
        '  <database_info>',
        '      <schemas_database>',
        '        {schemas_from_all_tables}',
        '      </schemas_database>',
        '  </database_info>',
        '</context>',
        '<task>',
        ' Rewrite this question by adapting database information. Enclose the rewritten question in <rewritten_question> tags.',
        '</task>',
        '',
    ]),
    "GENERATE_SQL_TEMPLATE": "\n".join([
        '',
        '  <context>',
        '    <user_question>{user_question}</user_question>',
        '',
        '    <database_info>',
        '      <schemas_database>',
        '        {schemas_from_relevant_tables}',
        '      </schemas_database>',
        '    </database_info>',
        '',
        '  </context>',
        '',
        '  <task>',
        "    Generate a SQL query for the user's question. Enclose the query in <sql_query> tags.",
        '    Do not return anything other than the sql query in <sql_query> tags.',
        '    The questions asking for trends/forecasting will need you to reason highly, deal with errors such as incorrect date formatting since you are an intelligent agent.',
        '  </task>',
        '',
    ]),
    "CORRECT_SQL_TEMPLATE": "\n".join([
        '',
        '<context>',
        '  <user_question>{{ user_question }}</user_question>',
        '',
        '  <database_info>',
        '    <schemas_database>',
        '        {{ schemas_from_relevant_tables }}',
        '    </schemas_database>',
        '  </database_info>',
        '',
        '  <sql_context>',
        '    {% for query, error in zipped_queries_errors %}',
        '      <query_execution_pair>',
        '        <query index="{{ loop.index }}">',
        '          {{ query }}',
        '        </query>',
        '        <error index="{{ loop.index }}">',
        '          {{ error }}',
        '        </error>',
        '      </query_execution_pair>',
        '    {% endfor %}',
        '  </sql_context>',
        '</context>',
        '',
        '<task>',
        '  <sql_analysis>',
        '    Analyze the SQL queries and respective errors provided in the <sql_context> section.',
        '    Use the indexed pairs to identify the most likely cause of each error and reason briefly about how to fix it.',
        '  </sql_analysis>',
        '  <sql_correction>',
        '    Based on the analysis, correct the SQL query.',
        '    Use your reasoning from the <sql_analysis> to make specific adjustments.',
        '    Enclose the query in <sql_query> tags.',
        '  </sql_correction>',
        '</task>',
        '',
    ]),
    "PANDAS_SYSTEM_TEMPLATE": "\n".join([
        '"',
        'You are an pandas assistant code. ',
        'Use this script for filling None/Na value.',
        '```',
        'def fillna_based_on_dtype(df):',
        '    for column in df.columns:',
        '        if pd.api.types.is_numeric_dtype(df[column]):',
        '            df[column] = df[column].fillna(0)  # Example: fill numeric with mean',
        '        elif pd.api.types.is_categorical_dtype(df[column]) or df[column].dtype == object:',
        '            df[column] = df[column].fillna("")  # Example: fill categorical with mode',
        '        elif pd.api.types.is_bool_dtype(df[column]):',
        '            df[column] = df[column].fillna(False)  # Example: fill boolean with False',
        '    return df',
        '```',
        'Remember when dealing with Decimal (from execution result), treat them as float values.',
        'The following modules are already installed and you can utilise them for questions that require',
        'your creativity: # The agents default modules are :["matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas",',
        '"scipy", "datetime", "decimal"]',
        'When using matplotlib dont show the graph instead save it in {{ save_path }} - matplotlib code should',
        'create this directory if doesnt exist-  in the current base directory. When you generate',
        'a graph label it well, and metion you generate a graph and return the path to saved graph in your final',
        'response.',
        '',
        'The only allowed file types you can generate are images(so if you generate a table e.g it has to be in image',
        'format). The questions asking for trends/forecasting will need you to reason highly, deal with ',
        'errors such as incorrect date formatting since you are an intelligent ag',
        'ent.',
        'Remember to include from decimal import Decimal at beginning code block.',
        'These are additional user instructions that you must follow before giving the final answer: {{instructions}}',
        '',
    ]),
    "PANDAS_HUMAN_TEMPLATE": "\n".join([
        '',
        '<context>',
        '    <original_question>{{ original_question }}</original_question>',
        '    <sql_context>',
        '      {% for query, execution_result in zipped_queries_results %}',
        '          <query index="{{ loop.index }}">',
        '            {{ query }}',
        '          </query>',
        '          <execution_result index="{{ loop.index }}">',
        '            {{ execution_result }}',
        '          </execution_result>',
        '      {% endfor %}',
        '    </sql_context>',
        '</context>',
        '',
    ]),
}

@pytest.mark.parametrize("name", list(EXPECTED))
def test_text_is_exact(name):
    assert getattr(qa_prompts, name) == EXPECTED[name]


def test_module_exports_exactly_the_eight_texts_in_order():
    assert list(qa_prompts.__all__) == list(EXPECTED)
    public = [n for n in vars(qa_prompts) if not n.startswith("_")]
    assert sorted(public) == sorted(EXPECTED)


def test_star_import_brings_every_text():
    namespace = {}
    exec("from zorvanai.qa_graph.qa_prompts import *", namespace)
    assert {n: namespace[n] for n in EXPECTED} == EXPECTED


def test_sql_prefix_fills_both_dialect_lines_and_nothing_else():
    text = qa_prompts.SQL_PREFIX.format(dialect="mysql")
    assert "<Dialect>mysql</Dialect>" in text
    assert "- Use correct syntax for mysql." in text
    assert text.replace("mysql", "{dialect}") == qa_prompts.SQL_PREFIX


def test_tail_keeps_its_literal_json_braces():
    tail = qa_prompts.TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE
    assert '{"relevant_tables": ["TABLE_NAME_1", "TABLE_NAME_2"]}.' in tail
    with pytest.raises(KeyError):
        tail.format()  # would be misread as a placeholder if ever formatted


def _render(template, **values):
    return jinja2.Template(template, keep_trailing_newline=True).render(**values)


def test_correct_sql_template_numbers_each_pair_from_one():
    text = _render(qa_prompts.CORRECT_SQL_TEMPLATE, user_question="q", schemas_from_relevant_tables="s",
                   zipped_queries_errors=[("SELECT 1", "e1"), ("SELECT 2", "e2")])
    assert text.count("<query_execution_pair>") == 2
    assert '<query index="1">\n          SELECT 1\n' in text
    assert '<error index="2">\n          e2\n' in text
    assert text.index("SELECT 1") < text.index("SELECT 2")


def test_correct_sql_template_without_pairs_leaves_only_white_space():
    text = _render(qa_prompts.CORRECT_SQL_TEMPLATE, user_question="q", schemas_from_relevant_tables="s",
                   zipped_queries_errors=[])
    inner = text.split("<sql_context>")[1].split("</sql_context>")[0]
    assert inner.strip() == ""


def test_pandas_templates_render_with_jinja():
    system = _render(qa_prompts.PANDAS_SYSTEM_TEMPLATE, save_path="media/x")
    assert system.startswith('"\n')
    assert "save it in media/x - matplotlib" in system
    assert system.endswith("before giving the final answer: \n")
    human = _render(qa_prompts.PANDAS_HUMAN_TEMPLATE, original_question="Q",
                    zipped_queries_results=[("SELECT 1", "[(1,)]")])
    assert "<original_question>Q</original_question>" in human
    assert '<execution_result index="1">\n            [(1,)]\n' in human
