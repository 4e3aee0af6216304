"""Analysis-script generation and correction prompts, through the model stand-in."""

import inspect
import re

import pytest

import zorvanai.qa_graph.qa_nodes as qa_nodes
from zorvanai.qa_graph.qa_prompts import PANDAS_SYSTEM_TEMPLATE

CORRECTION_TEXT = (
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:"
)

SCRIPT = "import pandas as pd\n\nprint(pd.DataFrame({'v': [1]}).sum())\n"


def generation_state(**changes):
    state = {"user_question": "Total per month?", "rewritten_question": "", "pandas_generation_prompt_type": "generation",
             "generated_sql_query": ["SELECT 1", "SELECT m, SUM(v) FROM t GROUP BY m"],
             "sql_execution_result": ["None", "[('jan', 3), ('feb', 4)]"], "save_path": "media/run-7"}
    state.update(changes)
    return state


def correction_state(**changes):
    state = {"user_question": "Total per month?", "rewritten_question": "", "pandas_generation_prompt_type": "correction",
             "pandas_code": "print(df)", "python_error_message": "NameError: name 'df' is not defined"}
    state.update(changes)
    return state


def results_in(text):
    """(index, query, result) of every pair in the human message of a generation prompt."""
    found = re.findall(r'<query index="(\d+)">\s*(.*?)\s*</query>\s*<execution_result index="(\d+)">\s*(.*?)\s*'
                       r'</execution_result>', text, re.S)
    assert all(a == b for a, _, b, _ in found)
    return [(int(a), query, result) for a, query, _, result in found]


def test_generation_sends_the_script_prompt_and_stores_the_script_as_given(model_server):
    model_server.add({"code": SCRIPT}, schema="PythonCodeInput")
    node = qa_nodes.PandasGenerator(model=model_server.chat_client())
    assert list(vars(node)) == ["model", "template", "correction_template"]
    update = node.invoke(generation_state(), config={"recursion_limit": 5})
    assert update == {"pandas_code": SCRIPT}
    (request,) = model_server.requests_for(schema="PythonCodeInput")
    assert request.roles == ["system", "user"]
    system = request.system_text
    assert system.startswith('"\nYou are an pandas assistant code. \nUse this script for filling None/Na value.\n')
    assert "dont show the graph instead save it in media/run-7 - matplotlib code should" in system
    assert system.rstrip("\n").endswith("you must follow before giving the final answer: ")
    assert "{{" not in system and "{%" not in system
    assert "<original_question>Total per month?</original_question>" in request.user_text
    assert results_in(request.user_text) == [(1, "SELECT 1", "None"),
                                             (2, "SELECT m, SUM(v) FROM t GROUP BY m", "[('jan', 3), ('feb', 4)]")]


def test_generation_pairs_stop_at_the_shorter_list_and_use_a_rewrite(model_server):
    node = qa_nodes.PandasGenerator(model_server.chat_client())
    messages = node.generate_prompt(generation_state(generated_sql_query=["A", "B", "C"],
                                                     sql_execution_result=["ra", "rb", "rc"]))
    assert [m.type for m in messages] == ["system", "human"]
    assert results_in(messages[1].content) == [(1, "A", "ra"), (2, "B", "rb"), (3, "C", "rc")]
    messages = node.generate_prompt(generation_state(generated_sql_query=["A", "B"], sql_execution_result=["1", "2", "3"],
                                                     rewritten_question="Sum of v per month?"))
    assert results_in(messages[1].content) == [(1, "A", "1"), (2, "B", "2")]
    assert "<original_question>Sum of v per month?</original_question>" in messages[1].content
    assert model_server.requests == []


def test_correction_prompt_is_the_correction_text_with_its_three_values(model_server):
    model_server.add({"code": "df = 1\nprint(df)"}, schema="PythonCodeInput")
    node = qa_nodes.PandasGenerator(model_server.chat_client())
    state = correction_state()
    expected = CORRECTION_TEXT.format(user_question="Total per month?", python_code="print(df)",
                                      error="NameError: name 'df' is not defined")
    assert node.generate_prompt(state) == expected
    assert node.invoke(state) == {"pandas_code": "df = 1\nprint(df)"}
    (request,) = model_server.requests
    assert request.roles == ["user"] and request.user_text == expected
    rewritten = node.generate_prompt(correction_state(rewritten_question="Monthly totals?"))
    assert rewritten.startswith("The user asked the following question:\n            Monthly totals?\n\n")


def test_pandas_correction_builds_the_same_prompt(model_server):
    model_server.add({"code": "fixed = True"}, schema="PythonCodeInput")
    generator = qa_nodes.PandasGenerator(model_server.chat_client())
    correction = qa_nodes.PandasCorrection(model=model_server.chat_client())
    assert list(vars(correction)) == ["model", "template"]
    for state in (correction_state(), correction_state(rewritten_question="Other question?")):
        assert correction.generate_prompt(state) == generator.generate_prompt(state)
    # The prompt type is not consulted by the correction-only node.
    assert correction.generate_prompt(correction_state(pandas_generation_prompt_type="generation")) == \
        generator.generate_prompt(correction_state())
    assert correction.invoke(correction_state()) == {"pandas_code": "fixed = True"}
    assert str(inspect.signature(correction.invoke)) == "(state, **kwargs)"


def test_missing_keys_and_unknown_prompt_types(model_server):
    node = qa_nodes.PandasGenerator(model_server.chat_client())
    with pytest.raises(ValueError, match="pandas_generation_prompt_type"):
        node.invoke(generation_state(pandas_generation_prompt_type="repair"))
    with pytest.raises(KeyError, match="save_path"):
        node.generate_prompt({k: v for k, v in generation_state().items() if k != "save_path"})
    with pytest.raises(KeyError, match="python_error_message"):
        node.generate_prompt({k: v for k, v in correction_state().items() if k != "python_error_message"})
    with pytest.raises(KeyError, match="rewritten_question"):
        qa_nodes.PandasCorrection(model_server.chat_client()).invoke({"user_question": "q"})
    with pytest.raises(TypeError, match="^state must be a mapping, not list$"):
        node.generate_prompt([])
    assert model_server.requests == []


def test_templates_use_the_prompt_texts(model_server):
    node = qa_nodes.PandasGenerator(model_server.chat_client())
    system, human = node.template.messages
    assert system.prompt.template == PANDAS_SYSTEM_TEMPLATE and system.prompt.template_format == "jinja2"
    assert human.prompt.template == qa_nodes.PANDAS_HUMAN_TEMPLATE and human.prompt.template_format == "jinja2"
    assert node.correction_template.template == CORRECTION_TEXT
    assert node.correction_template.template_format == "f-string"
