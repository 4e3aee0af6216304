#include <pybind11/pybind11.h>

#include "store.hpp"
#include "zorvan/signed.hpp"

namespace py = pybind11;
namespace ctx = zorvanai::context;

PYBIND11_MODULE(context, m) {
    m.doc() =
        "The user's context text and custom instructions, kept in \"context.json\".\n\n"
        "The file lives in the working directory; the texts shape the final answers of the\n"
        "assistant (the node module reads them once, when it is loaded).\n\n"
        "    from zorvanai.prompts import context\n"
        "    context.instruct_agent(\"We sell garden tools.\", \"Answer in one short paragraph.\")\n"
        "    print(context.check_instructions())\n\n"
        "Module values: FILE_PATH, default_values, values (the in-memory record),\n"
        "context_prompt and custom_instructions. Writes replace the file atomically, and\n"
        "set operations from several threads are serialised.";
    // The functions find the module values through the module object itself.
    py::module_ self = m;
    zorvan::def(m, "read_values", "()",
                "Read the stored record.\n\n"
                "Returns:\n    A new record parsed from \"context.json\", or a copy of default_values when\n"
                "    there is no file (the file is never created here).\n\n"
                "Raises:\n    json.JSONDecodeError: the file is not valid JSON.",
                [self]() { return ctx::read_values(self); });
    zorvan::def(
        m, "write_values", "(values)",
        "Replace the whole content of \"context.json\" with ``values``.\n\n"
        "The record is written as one line of JSON with the encoder's defaults (plain\n"
        "ASCII), through a temporary file and a rename: the file always holds a whole\n"
        "record.\n\nArgs:\n    values: the record to store.\n\n"
        "Raises:\n    TypeError: a value JSON cannot hold; the file is left as it was.\n"
        "    OSError: the file cannot be written; the file is left as it was.",
        [self](py::object values) { ctx::write_values(self, values); }, py::arg("values"));
    zorvan::def(
        m, "set_context", "(new_context)",
        "Set the context text, in memory and in the file.\n\n"
        "Args:\n    new_context: the user's context text.\n\n"
        "Raises:\n    TypeError: a value JSON cannot hold (nothing changes).\n"
        "    OSError: the file cannot be written.",
        [self](py::object value) { ctx::set_context(self, value); }, py::arg("new_context"));
    zorvan::def(
        m, "set_instructions", "(new_instructions)",
        "Set the custom instructions, in memory and in the file.\n\n"
        "Args:\n    new_instructions: how answers should be presented.\n\n"
        "Raises:\n    TypeError: a value JSON cannot hold (nothing changes).\n"
        "    OSError: the file cannot be written.",
        [self](py::object value) { ctx::set_instructions(self, value); }, py::arg("new_instructions"));
    zorvan::def(
        m, "instruct_agent", "(context, instructions)",
        "Set the context text, then the custom instructions.\n\n"
        "Args:\n    context: the user's context text.\n    instructions: how answers should be presented.",
        [self](py::object context, py::object instructions) { ctx::instruct_agent(self, context, instructions); },
        py::arg("context"), py::arg("instructions"));
    zorvan::def(m, "check_instructions", "()",
                "The values in memory (the file is not read).\n\n"
                "Returns:\n    A new record {\"context_prompt\": ..., \"custom_instructions\": ...}.",
                [self]() { return ctx::check_instructions(self); });
    m.attr("__all__") =
        py::make_tuple("FILE_PATH", "default_values", "values", "context_prompt", "custom_instructions", "read_values",
                       "write_values", "set_context", "set_instructions", "instruct_agent", "check_instructions");
    ctx::load(m);
}
