#include "pycall.hpp"

#include "zorvan/console.hpp"

namespace zorvanai::dbtool {

void print_line(const py::handle& text) {
    zorvan::say(text);
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
