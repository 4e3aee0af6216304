#include <pybind11/pybind11.h>

#include "records.hpp"
#include "routing.hpp"
#include "setup.hpp"
#include "zorvan/pyutil.hpp"

namespace py = pybind11;
using namespace zorvanai::qa_nodes;

PYBIND11_MODULE(qa_nodes, m) {
    m.doc() =
        R"(The steps of the question-answering graph: the entry node, routing conditions and error handlers, and the node classes from table discovery to the final answer.

Module settings:
- SCRIPT_TIMEOUT_SECONDS (default 120.0; None for no limit): how long an analysis script may run
  before it is stopped and reported as a failed execution; read at each run. The environment
  variable ZORVAN_SCRIPT_TIMEOUT (seconds), when set, takes precedence.
- MAX_ITERATIONS_PANDAS (3): the pandas correction budget a run uses when its input gives none.)";
    zorvan::import_langchain_community();
    use_agg_backend();
    import_prompt_templates(m);
    add_records(m);
    add_settings(m);
    add_routing(m);
    add_node_classes(m);
    import_context(m);
}
