"""The final-step prompt is exactly the text the model must receive."""

from zorvanai.prompts import answer_prompt

EXPECTED_FINAL_NODE_PROMPT = "\n".join([
    '',
    '',
    'You are a helpful SQL based assistant that works with SQL databases.Your Answers are only supposed to',
    'come from the SQL database available. ',
    'Follow the provided user instructions and remain in context',
    'If the question is unrelated to ',
    'the database please report back to the user that you cant answer the question based on the database',
    'If an error occurred report gracefully back to the user.',
    '',
    '',
])


def test_final_node_prompt_is_exact():
    assert answer_prompt.final_node_prompt == EXPECTED_FINAL_NODE_PROMPT


def test_final_node_prompt_shape():
    text = answer_prompt.final_node_prompt
    assert text.startswith("\n\n") and text.endswith("\n\n") and not text.endswith("\n\n\n")
    assert "databases.Your" in text and "cant" in text
    lines = text.split("\n")
    assert len(lines) == 10
    assert lines[3].endswith("available. ") and lines[5].endswith("unrelated to ")


def test_module_defines_only_the_prompt():
    public = [n for n in vars(answer_prompt) if not n.startswith("_")]
    assert public == ["final_node_prompt"]
