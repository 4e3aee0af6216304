#include "zorvan/capture.hpp"

#include <pybind11/pybind11.h>
#include <pythread.h>

#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "zorvan/python_names.hpp"
#include "zorvan/signed.hpp"

namespace zorvan {
namespace {

constexpr const char* kSharedKey = "zorvanai.output_router.v1";

// Process-wide routing table. Every access happens with the GIL held, which
// serialises all readers and writers.
struct RouterState {
    py::object router;  // the object installed as sys.stdout while capturing
    py::object saved;   // the stream it replaced
    std::size_t active = 0;
    std::unordered_map<unsigned long, std::vector<std::string>> buffers;
};

RouterState& make_state();

RouterState& state() {
    // One table per process, shared by every module through pybind11's
    // cross-module storage; it lives until the process ends on purpose,
    // since captures may be running in any module during shutdown.
    void* shared = py::get_shared_data(kSharedKey);
    if (shared != nullptr) return *static_cast<RouterState*>(shared);
    return make_state();
}

std::vector<std::string>* buffers_of_current_thread(RouterState& s) {
    auto found = s.buffers.find(PyThread_get_thread_ident());
    if (found == s.buffers.end() || found->second.empty()) return nullptr;
    return &found->second;
}

py::object build_router_class() {
    py::module_ io = imported_module(dep::io_module);
    ClassBuilder builder("_OutputRouter", "zorvanai", io.attr("TextIOBase"));
    builder.doc("Standard output while captures are running: routes each thread's writes.")
        .method(
            "write", "(self, text)", "Write text to the capture of the calling thread, or to the real stream.",
            [](py::object, py::object text) -> py::object {
                if (!py::isinstance<py::str>(text)) {
                    throw py::type_error("write() argument must be str, not " +
                                         std::string(py::str(py::type::of(text).attr("__name__"))));
                }
                RouterState& s = state();
                if (auto* stack = buffers_of_current_thread(s)) {
                    stack->back() += text.cast<std::string>();
                    return py::int_(py::len(text));
                }
                if (s.saved.is_none()) return py::int_(py::len(text));
                return s.saved.attr("write")(text);
            },
            py::arg("self"), py::arg("text"))
        .method(
            "flush", "(self)", "Flush the real stream when the calling thread is not capturing.",
            [](py::object) {
                RouterState& s = state();
                if (buffers_of_current_thread(s) == nullptr && !s.saved.is_none()) s.saved.attr("flush")();
            },
            py::arg("self"))
        .method(
            "isatty", "(self)", "False while the calling thread captures; otherwise as the real stream.",
            [](py::object) -> bool {
                RouterState& s = state();
                if (buffers_of_current_thread(s) != nullptr || s.saved.is_none()) return false;
                return s.saved.attr("isatty")().cast<bool>();
            },
            py::arg("self"))
        .method(
            "writable", "(self)", "Always True.", [](py::object) { return true; }, py::arg("self"))
        .method(
            "__getattr__", "(self, name)", "Other attributes come from the real stream.",
            [](py::object, py::str name) -> py::object {
                RouterState& s = state();
                if (s.saved.is_none()) throw py::attribute_error(std::string(name));
                return s.saved.attr(name);
            },
            py::arg("self"), py::arg("name"));
    return builder.build();
}

RouterState& make_state() {
    auto fresh = std::make_unique<RouterState>();
    fresh->saved = py::none();
    fresh->router = build_router_class()();
    RouterState* kept = fresh.release();
    py::set_shared_data(kSharedKey, kept);
    return *kept;
}

}  // namespace

OutputCapture::OutputCapture() : thread_(PyThread_get_thread_ident()) {
    RouterState& s = state();
    py::module_ sys = imported_module(dep::sys_module);
    if (s.active == 0) {
        s.saved = sys.attr("stdout");
        sys.attr("stdout") = s.router;
    }
    ++s.active;
    auto& stack = s.buffers[thread_];
    stack.emplace_back();
    depth_ = stack.size();
}

OutputCapture::~OutputCapture() {
    if (!active_) return;
    py::gil_scoped_acquire gil;
    try {
        finish();
    } catch (...) {
        // Destructors must not throw; finish() only fails when Python is
        // shutting down, when there is nothing left to restore.
    }
}

std::string OutputCapture::text() const {
    if (!active_) return {};
    RouterState& s = state();
    auto found = s.buffers.find(thread_);
    if (found == s.buffers.end() || found->second.size() < depth_) return {};
    return found->second[depth_ - 1];
}

std::string OutputCapture::finish() {
    if (!active_) return {};
    active_ = false;
    RouterState& s = state();
    std::string captured;
    auto found = s.buffers.find(thread_);
    if (found != s.buffers.end()) {
        auto& stack = found->second;
        if (stack.size() >= depth_) {
            captured = std::move(stack[depth_ - 1]);
            stack.resize(depth_ - 1);
        }
        if (stack.empty()) s.buffers.erase(found);
    }
    if (s.active > 0) --s.active;
    if (s.active == 0) {
        imported_module(dep::sys_module).attr("stdout") = s.saved;
        s.saved = py::none();
    }
    return captured;
}

}  // namespace zorvan
