#pragma once

namespace zorvanai::answer_prompt {

// Frames the final answer: answer only from the database, report failures
// gracefully. Used unchanged (no substitution); its blanks and line breaks
// are part of the text.
extern const char* const final_node_prompt;

}  // namespace zorvanai::answer_prompt
