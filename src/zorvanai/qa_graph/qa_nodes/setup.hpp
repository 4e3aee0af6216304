// Steps of the node module's load-time set-up, called in this order by the
// module definition.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvanai::qa_nodes {
namespace py = pybind11;

// Selects matplotlib's non-interactive "agg" back end, before any script
// can plot.
void use_agg_backend();

// Every public name of zorvanai.qa_graph.qa_prompts becomes a name of `m`.
void import_prompt_templates(py::module_& m);

// Module-level settings of the node module: SCRIPT_TIMEOUT_SECONDS.
void add_settings(py::module_& m);

// The node classes, each bound under its name.
void add_node_classes(py::module_& m);

// context_prompt, custom_instructions, check_instructions, read_values from
// the context store and final_node_prompt from the final-step prompt module;
// then `current_values`, read once.
void import_context(py::module_& m);

}  // namespace zorvanai::qa_nodes
