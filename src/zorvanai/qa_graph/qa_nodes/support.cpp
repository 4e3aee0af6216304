#include "support.hpp"

#include "zorvan/console.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::qa_nodes {

py::object item(py::handle mapping, const char* key) {
    PyObject* value = PyObject_GetItem(mapping.ptr(), py::str(key).ptr());
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

namespace {
bool compare(py::handle a, py::handle b, int op) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) throw py::error_already_set();
    return result == 1;
}
}  // namespace

bool less(py::handle a, py::handle b) {
    return compare(a, b, Py_LT);
}

bool equal(py::handle a, py::handle b) {
    return compare(a, b, Py_EQ);
}

py::object chosen_question(py::handle state) {
    py::object question = item(state, zorvan::key::user_question);
    py::object rewritten = item(state, zorvan::key::rewritten_question);
    if (py::isinstance<py::str>(rewritten) && py::len(rewritten) > 0) return rewritten;
    return question;
}

py::object join_if_list(py::handle names) {
    if (py::isinstance<py::list>(names)) return py::str(",").attr("join")(names);
    return py::reinterpret_borrow<py::object>(names);
}

py::list zip_lists(py::handle a, py::handle b) {
    py::object zip = zorvan::imported(zorvan::dep::builtins_zip);
    return py::list(zip(a, b));
}

void log_info(const Globals& globals, const std::string& text) {
    zorvan::log_info(globals["logger"], text);
}

void print_line(py::handle text) {
    zorvan::say(text);
}

py::object structured_model(py::handle model, const Globals& globals, const char* record) {
    return globals["StructuredOutput"](model, globals[record]);
}

py::object runnable_base() {
    return zorvan::imported(zorvan::dep::langchain_core_runnables_Runnable);
}

py::object prompts_attr(const char* name) {
    return zorvan::imported_module(zorvan::dep::langchain_core_prompts_module).attr(name);
}

py::object sql_tool(const char* name) {
    return zorvan::imported_module(zorvan::dep::langchain_community_tools_sql_database_tool_module).attr(name);
}

py::object fill_template(const std::string& text, const py::dict& values) {
    py::object filled = py::str("");
    std::size_t done = 0;
    for (std::size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
        const std::size_t close = text.find('}', open);
        if (close == std::string::npos) break;
        py::str name(text.substr(open + 1, close - open - 1));
        if (!values.contains(name)) continue;
        filled = filled + py::str(text.substr(done, open - done)) + values[name];
        done = close + 1;
        open = close;
    }
    return filled + py::str(text.substr(done));
}

py::object chat_prompt(const py::list& messages) {
    return prompts_attr("ChatPromptTemplate").attr("from_messages")(messages);
}

py::object format_with_state(py::handle prompt, py::handle state, const py::dict& extra) {
    py::dict variables(py::reinterpret_borrow<py::object>(state));
    for (auto entry : extra) variables[entry.first] = entry.second;
    return prompt.attr("format_messages")(**variables);
}

}  // namespace zorvanai::qa_nodes
