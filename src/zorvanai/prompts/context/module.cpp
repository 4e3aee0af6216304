#include <pybind11/pybind11.h>

#include "store.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace ctx = zorvanai::context;

namespace {
constexpr const char* kSetterRaises = R"(

Raises:
    TypeError: a value JSON cannot hold (nothing changes).
    OSError: the file cannot be written.)";
}  // namespace

PYBIND11_MODULE(context, m) {
    m.doc() =
        R"(The user's context text and custom instructions, kept in "context.json".

The file lives in the working directory; the texts shape the final answers of the
assistant (the node module reads them once, when it is loaded).

    from zorvanai.prompts import context
    context.instruct_agent("We sell garden tools.", "Answer in one short paragraph.")
    print(context.check_instructions())

Module values: FILE_PATH, default_values, values (the in-memory record),
context_prompt and custom_instructions. Writes replace the file atomically, and
set operations from several threads are serialised.)";
    // The functions find the module values through the module object itself.
    py::module_ self = m;
    zorvan::def(m, "read_values", "()",
                R"(Read the stored record.

Returns:
    A new record parsed from "context.json", or a copy of default_values when
    there is no file (the file is never created here).

Raises:
    json.JSONDecodeError: the file is not valid JSON.)",
                [self]() { return ctx::read_values(self); });
    zorvan::def(
        m, "write_values", "(values)",
        R"(Replace the whole content of "context.json" with ``values``.

The record is written as one line of JSON with the encoder's defaults (plain
ASCII), through a temporary file and a rename: the file always holds a whole
record.

Args:
    values: the record to store.

Raises:
    TypeError: a value JSON cannot hold; the file is left as it was.
    OSError: the file cannot be written; the file is left as it was.)",
        [self](py::object values) { ctx::write_values(self, values); }, py::arg("values"));
    zorvan::def(
        m, "set_context", "(new_context)",
        R"(Set the context text, in memory and in the file.

Args:
    new_context: the user's context text.)" +
            std::string(kSetterRaises),
        [self](py::object value) { ctx::set_context(self, value); }, py::arg("new_context"));
    zorvan::def(
        m, "set_instructions", "(new_instructions)",
        R"(Set the custom instructions, in memory and in the file.

Args:
    new_instructions: how answers should be presented.)" +
            std::string(kSetterRaises),
        [self](py::object value) { ctx::set_instructions(self, value); }, py::arg("new_instructions"));
    zorvan::def(
        m, "instruct_agent", "(context, instructions)",
        R"(Set the context text, then the custom instructions.

Args:
    context: the user's context text.
    instructions: how answers should be presented.)",
        [self](py::object context, py::object instructions) { ctx::instruct_agent(self, context, instructions); },
        py::arg("context"), py::arg("instructions"));
    zorvan::def(m, "check_instructions", "()",
                R"(The values in memory (the file is not read).

Returns:
    A new record {"context_prompt": ..., "custom_instructions": ...}.)",
                [self]() { return ctx::check_instructions(self); });
    m.attr("__all__") =
        py::make_tuple("FILE_PATH", "default_values", "values", "context_prompt", "custom_instructions", "read_values",
                       "write_values", "set_context", "set_instructions", "instruct_agent", "check_instructions");
    ctx::load(m);
}
