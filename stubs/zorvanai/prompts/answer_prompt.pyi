"""The final-step instruction text of the answer."""

__all__ = ["final_node_prompt"]

final_node_prompt: str
