#include "visualize.hpp"

#include "zorvan/pyutil.hpp"

namespace zorvanai::qa_graph {

void visualize(py::handle compiled_graph, py::handle visualization_type, py::handle save_graph_path) {
    py::object drawing = compiled_graph.attr("get_graph")();
    if (py::str("ascii").equal(visualization_type)) {
        drawing.attr("print_ascii")();
        return;
    }
    // Picture libraries are loaded only when a picture is asked for.
    py::object api = zorvan::import_attr("langchain_core.runnables.graph", "MermaidDrawMethod").attr("API");
    py::object png = drawing.attr("draw_mermaid_png")(py::arg("draw_method") = api);
    py::object buffer = zorvan::import_attr("io", "BytesIO")(png);
    py::object image = zorvan::import_attr("PIL.Image", "open")(buffer);
    try {
        image.attr("save")(save_graph_path);
    } catch (...) {
        image.attr("close")();
        throw;
    }
    image.attr("close")();
}

}  // namespace zorvanai::qa_graph
