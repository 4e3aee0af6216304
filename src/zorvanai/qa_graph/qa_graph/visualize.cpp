#include "visualize.hpp"

#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::qa_graph {

void visualize(py::handle compiled_graph, py::handle visualization_type, py::handle save_graph_path) {
    py::object drawing = compiled_graph.attr("get_graph")();
    if (py::str("ascii").equal(visualization_type)) {
        drawing.attr("print_ascii")();
        return;
    }
    // Picture libraries are loaded only when a picture is asked for.
    py::object api = zorvan::imported(zorvan::dep::langchain_core_runnables_graph_MermaidDrawMethod).attr("API");
    py::object png = drawing.attr("draw_mermaid_png")(py::arg("draw_method") = api);
    py::object buffer = zorvan::imported(zorvan::dep::io_BytesIO)(png);
    py::object image = zorvan::imported(zorvan::dep::PIL_Image_open)(buffer);
    try {
        image.attr("save")(save_graph_path);
    } catch (...) {
        image.attr("close")();
        throw;
    }
    image.attr("close")();
}

}  // namespace zorvanai::qa_graph
