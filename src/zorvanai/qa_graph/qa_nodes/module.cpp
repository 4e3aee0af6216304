#include <pybind11/pybind11.h>

#include "records.hpp"
#include "routing.hpp"
#include "setup.hpp"

namespace py = pybind11;
using namespace zorvanai::qa_nodes;

PYBIND11_MODULE(qa_nodes, m) {
    m.doc() =
        "The steps of the question-answering graph: the entry node, routing conditions and error handlers, and the "
        "node classes from table discovery to the final answer.";
    use_agg_backend();
    import_prompt_templates(m);
    add_records(m);
    add_settings(m);
    add_routing(m);
    add_node_classes(m);
    import_context(m);
}
