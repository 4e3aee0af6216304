// Prompt texts that belong to the node module itself (the shared templates
// come from the prompt module).
#pragma once

namespace zorvanai::qa_nodes {

// System and user texts of a first-attempt SQL generation (brace placeholders).
extern const char* const kSqlGenerationSystemText;
extern const char* const kSqlGenerationUserText;

// The request to repair a failed analysis script (brace placeholders).
extern const char* const kPandasCorrectionText;

}  // namespace zorvanai::qa_nodes
