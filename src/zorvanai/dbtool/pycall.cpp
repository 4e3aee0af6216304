#include "pycall.hpp"

namespace zorvanai::dbtool {

void print_line(const py::handle& text) {
    py::module_::import("builtins").attr("print")(text);
}

void close_quietly(const py::handle& object) noexcept {
    if (!object || object.is_none()) return;
    try {
        object.attr("close")();
    } catch (...) {
        // The operation is already failing or must not fail; a second error
        // from the same broken connection adds nothing.
    }
}

}  // namespace zorvanai::dbtool
