#include "zorvan/graph_events.hpp"

#include "zorvan/python_names.hpp"

namespace zorvan {

std::string graph_node_of(const py::kwargs& kwargs) {
    if (!kwargs.contains("metadata") || !kwargs.contains("name")) return "";
    py::object metadata = kwargs["metadata"];
    if (!PyDict_Check(metadata.ptr())) return "";
    py::object node = py::reinterpret_borrow<py::dict>(metadata).attr("get")("langgraph_node");
    if (!py::isinstance<py::str>(node) || !node.equal(kwargs["name"])) return "";
    return node.cast<std::string>();
}

ClassBuilder callback_handler(const std::string& name, const std::string& module_name, const std::string& doc) {
    ClassBuilder builder(name, module_name, imported(dep::langchain_core_callbacks_BaseCallbackHandler));
    builder.doc(doc);
    return builder;
}

}  // namespace zorvan
