"""The user's context text and custom instructions, kept in "context.json" in the working
directory. They shape the final answers of the assistant."""

from collections.abc import Mapping

__all__ = [
    "FILE_PATH",
    "default_values",
    "values",
    "context_prompt",
    "custom_instructions",
    "read_values",
    "write_values",
    "set_context",
    "set_instructions",
    "instruct_agent",
    "check_instructions",
]

FILE_PATH: str
default_values: dict[str, str]
values: dict[str, str]
context_prompt: str
custom_instructions: str

def read_values() -> dict[str, str]: ...
def write_values(values: Mapping[str, str]) -> None: ...
def set_context(new_context: str) -> None: ...
def set_instructions(new_instructions: str) -> None: ...
def instruct_agent(context: str, instructions: str) -> None: ...
def check_instructions() -> dict[str, str]: ...
