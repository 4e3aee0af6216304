// The texts of the node module itself: its own prompts, the parts of the
// final answer's request, its printed and logged lines and its failure
// texts (the shared templates come from the prompt module). Byte for byte.
#pragma once

namespace zorvanai::qa_nodes {

// System and user texts of a first-attempt SQL generation (brace placeholders).
extern const char* const kSqlGenerationSystemText;
extern const char* const kSqlGenerationUserText;

// The request to repair a failed analysis script (brace placeholders).
extern const char* const kPandasCorrectionText;

// The final answer's request; each {name} is filled with a value of the
// state, the answer prompt or the stored context and instructions.
extern const char* const kAnswerRequest;

// Printed (or logged when quiet) and logged lines; the values follow.
extern const char* const kInstructionsLine;
extern const char* const kAnswerPromptLine;
extern const char* const kAnswerStartLog;
extern const char* const kAnswerTimeLog;
extern const char* const kQueryTimeLog;

// Failure texts that the state carries or an error raises.
extern const char* const kSqlAttemptsUsedUp;
extern const char* const kPythonAttemptsUsedUp;
extern const char* const kBadSqlPromptType;

}  // namespace zorvanai::qa_nodes
