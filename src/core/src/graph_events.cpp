#include "zorvan/graph_events.hpp"

namespace zorvan {

std::string graph_node_of(const py::kwargs& kwargs) {
    if (!kwargs.contains("metadata") || !kwargs.contains("name")) return "";
    py::object metadata = kwargs["metadata"];
    if (!PyDict_Check(metadata.ptr())) return "";
    py::object node = py::reinterpret_borrow<py::dict>(metadata).attr("get")("langgraph_node");
    if (!py::isinstance<py::str>(node) || !node.equal(kwargs["name"])) return "";
    return node.cast<std::string>();
}

}  // namespace zorvan
