"""The final response node: its prompt, printed lines, logs and update."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from loguru import logger

import zorvanai.qa_graph.qa_nodes as qa_nodes
from zorvanai.prompts.answer_prompt import final_node_prompt

BUILD_TREE = str(Path(qa_nodes.__file__).resolve().parents[2])


@pytest.fixture
def stored_values(monkeypatch):
    """Sets the node module's context snapshot for one test."""
    def set_values(context, instructions):
        monkeypatch.setattr(qa_nodes, "current_values", {"context_prompt": context, "custom_instructions": instructions})
    set_values("", "")
    return set_values


@pytest.fixture
def info_logs():
    messages = []
    sink = logger.add(lambda message: messages.append(message.record["message"]), level="INFO", format="{message}")
    yield messages
    logger.remove(sink)


def full_state(**changes):
    state = {"user_question": "Which item sells best?", "generated_sql_query": ["SELECT a FROM t", "SELECT b FROM t"],
             "sql_execution_result": ["first result", "[('pen', 12)]"], "pandas_code": "print('pen')",
             "python_executed_output": "pen\n", "rewritten_question": "", "save_path": "media"}
    state.update(changes)
    return state


def expected_prompt(code="print('pen')", output="pen\n", context="", instructions=""):
    return ("User question: Which item sells best?\n"
            "SQL query: ['SELECT a FROM t', 'SELECT b FROM t']\n"
            "SQL query result: [('pen', 12)]\n"
            f"Python code: {code}\n"
            f"Python executed result: {output}\n"
            "Use the above result to address user's question. \n"
            "use context and instructions below from the user to present your answer in the best way.Only the anwer part"
            + final_node_prompt + "use context and instructions below" + context + instructions)


def test_prompt_printed_lines_logs_and_update(model_server, stored_values, info_logs, capsys):
    stored_values("We sell stationery.", "Answer in one sentence.")
    model_server.add({"final_response": "The pen sells best.", "image_path": "media/chart.png"},
                     schema="GenerationOutput")
    node = qa_nodes.GenerateResponse(model=model_server.chat_client())
    assert list(vars(node)) == ["model"]
    update = node.invoke(full_state(), config={"tags": ["qa_graph"]})
    assert update == {"final_response": "The pen sells best.", "image_path": "media/chart.png"}
    prompt = expected_prompt(context="We sell stationery.", instructions="Answer in one sentence.")
    (request,) = model_server.requests_for(schema="GenerationOutput")
    assert request.roles == ["user"] and request.user_text == prompt
    assert prompt.endswith(final_node_prompt + "use context and instructions belowWe sell stationery.Answer in one "
                                               "sentence.")
    assert capsys.readouterr().out == ("hahahaha : Answer in one sentence.\n"
                                       f"General Response prompt: {prompt}\n")
    assert info_logs[0] == "Enter generate response"
    assert info_logs[1].startswith("Finish generating response, took ")
    seconds = info_logs[1][len("Finish generating response, took "):]
    assert repr(float(seconds)) == seconds and 0 <= float(seconds) < 30
    assert len(info_logs) == 2


def test_empty_context_ends_the_prompt_with_the_literal(model_server, stored_values, capsys):
    model_server.add({"final_response": "ok"}, schema="GenerationOutput")
    update = qa_nodes.GenerateResponse(model_server.chat_client()).invoke(full_state())
    assert update == {"final_response": "ok", "image_path": ""}
    (request,) = model_server.requests
    assert request.user_text.endswith(final_node_prompt + "use context and instructions below")
    assert capsys.readouterr().out.startswith("hahahaha : \n")


def test_a_null_image_path_is_passed_on(model_server, stored_values):
    model_server.add({"final_response": "no chart", "image_path": None}, schema="GenerationOutput")
    assert qa_nodes.GenerateResponse(model_server.chat_client()).invoke(full_state()) == {
        "final_response": "no chart", "image_path": None}


@pytest.mark.parametrize("changes, code, output", [
    ({"pandas_code": None, "python_executed_output": None}, "", ""),
    ({"python_executed_output": "Python generation failed after max iterations"}, "print('pen')",
     "Python generation failed after max iterations"),
])
def test_failure_routes_render_missing_script_values_as_empty_text(model_server, stored_values, changes, code, output):
    model_server.add({"final_response": "Sorry, the analysis failed."}, schema="GenerationOutput")
    state = full_state(**changes)
    for key in [k for k, v in changes.items() if v is None][:1]:
        del state[key]  # one of them absent, the other None
    node = qa_nodes.GenerateResponse(model_server.chat_client())
    assert node.invoke(state)["final_response"] == "Sorry, the analysis failed."
    assert model_server.requests[0].user_text == expected_prompt(code=code, output=output)


def test_placeholders_inside_values_stay_as_written(model_server, stored_values):
    # A row or a script's output naming a part of the request is shown as it is, never filled in.
    stored_values("ctx", "the instructions")
    model_server.add({"final_response": "ok"}, schema="GenerationOutput")
    output = "{custom_instructions} {context_prompt} {user_question} {"
    qa_nodes.GenerateResponse(model_server.chat_client()).invoke(full_state(python_executed_output=output))
    assert model_server.requests[0].user_text == expected_prompt(output=output, context="ctx",
                                                                 instructions="the instructions")


def test_errors_leave_the_node_before_the_model_is_asked(model_server, stored_values):
    node = qa_nodes.GenerateResponse(model_server.chat_client())
    with pytest.raises(IndexError):
        node.invoke(full_state(sql_execution_result=[]))
    with pytest.raises(KeyError, match="user_question"):
        node.invoke({k: v for k, v in full_state().items() if k != "user_question"})
    with pytest.raises(TypeError, match="^state must be a mapping, not NoneType$"):
        node.invoke(None)
    qa_nodes.current_values = {"context_prompt": "x"}
    with pytest.raises(KeyError, match="custom_instructions"):
        node.invoke(full_state())
    qa_nodes.current_values = {"context_prompt": 5, "custom_instructions": ""}
    with pytest.raises(TypeError):
        node.invoke(full_state())
    assert model_server.requests == []


def test_context_changes_after_load_do_not_reach_the_prompt(model_server, tmp_path):
    """A fresh interpreter loads the node module over a stored context, then the store changes."""
    model_server.add({"final_response": "fine"}, schema="GenerationOutput")
    (tmp_path / "context.json").write_text(json.dumps({"context_prompt": "CTX-AT-LOAD", "custom_instructions": "INS"}))
    code = (
        "import json, sys\n"
        "import zorvanai.qa_graph.qa_nodes as n\n"
        "import zorvanai.prompts.context as c\n"
        "from langchain_openai import AzureChatOpenAI\n"
        "c.instruct_agent('CTX-LATER', 'INS-LATER')\n"
        "model = AzureChatOpenAI(**json.loads(sys.argv[1]))\n"
        "state = {'user_question': 'q', 'generated_sql_query': ['SELECT 1'], 'sql_execution_result': ['[(1,)]'],\n"
        "         'pandas_code': '', 'python_executed_output': ''}\n"
        "print(json.dumps(n.GenerateResponse(model).invoke(state)))\n"
    )
    env = {**os.environ, "PYTHONPATH": BUILD_TREE}
    done = subprocess.run([sys.executable, "-c", code, json.dumps(model_server.client_kwargs())], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == "hahahaha : INS"
    assert json.loads(done.stdout.splitlines()[-1]) == {"final_response": "fine", "image_path": ""}
    (request,) = model_server.requests
    assert request.user_text.endswith("use context and instructions belowCTX-AT-LOADINS")
    assert json.loads((tmp_path / "context.json").read_text()) == {"context_prompt": "CTX-LATER",
                                                                   "custom_instructions": "INS-LATER"}
