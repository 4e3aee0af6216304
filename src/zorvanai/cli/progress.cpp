#include <chrono>
#include <cstdio>
#include <map>

#include "cli.hpp"
#include "zorvan/graph_events.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::cli {

namespace {

constexpr const char* kHandlerClass = "_ProgressHandler";
constexpr const char* kHookVariable = "_progress_hook";

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string state_text(const py::object& inputs, const char* key) {
    if (!PyDict_Check(inputs.ptr())) return "";
    py::dict state = py::reinterpret_borrow<py::dict>(inputs);
    if (!state.contains(key)) return "";
    py::object value = state[key];
    return py::isinstance<py::str>(value) ? value.cast<std::string>() : "";
}

py::object make_handler_class(const std::string& module_name) {
    return zorvan::callback_handler(kHandlerClass, module_name,
                                    "Callback handler that reports each graph node as it starts.")
        .method(
            "__init__", "(self, report)", "Keep report(node, inputs), called at each node start.",
            [](py::object self, py::object report) { self.attr("report") = report; }, py::arg("self"),
            py::arg("report"))
        .method(
            "on_chain_start", "(self, serialized, inputs, **kwargs)",
            "Report a graph node's own run; the runs inside a node share its metadata but not its name.",
            [](py::object self, py::object, py::object inputs, py::kwargs kwargs) {
                const std::string node = zorvan::graph_node_of(kwargs);
                if (!node.empty()) self.attr("report")(node, inputs);
            },
            py::arg("self"), py::arg("serialized"), py::arg("inputs"))
        .build();
}

}  // namespace

StepLabel step_of(const std::string& node, const py::object& inputs) {
    // The query's part of a run, then the script's and the answer.
    static const std::map<std::string, StepLabel> query_steps = {
        {zorvan::node::table_names_lookup, {"table discovery", "listing the tables"}},
        {zorvan::node::relevant_table_names, {"table discovery", "picking the relevant tables"}},
        {zorvan::node::relevant_schemas, {"table discovery", "reading the table definitions"}},
        {zorvan::node::sql_generation, {"query generation", "writing the SQL query"}},
        {zorvan::node::sql_syntax_checker, {"check", "double-checking the query"}},
        {zorvan::node::sql_execution, {"execution", "running the query"}},
        {zorvan::node::sql_error_handler, {"correction", "the query failed"}},
        {zorvan::node::rewrite_query, {"correction", "rewriting the question"}},
    };
    static const std::map<std::string, StepLabel> answer_steps = {
        {zorvan::node::pandas_generator, {"script", "writing the analysis script"}},
        {zorvan::node::pandas_executor, {"script", "running the analysis script"}},
        {zorvan::node::pandas_error_handler, {"script", "the analysis script failed"}},
        {zorvan::node::final_response_generation, {"answer", "writing the answer"}},
    };
    if (node == zorvan::node::sql_generation &&
        state_text(inputs, zorvan::key::sql_generation_prompt_type) == "correction") {
        return {"correction", "writing a corrected query"};
    }
    if (node == zorvan::node::pandas_generator &&
        state_text(inputs, zorvan::key::pandas_generation_prompt_type) == "correction") {
        return {"script", "correcting the analysis script"};
    }
    for (const auto* steps : {&query_steps, &answer_steps}) {
        auto found = steps->find(node);
        if (found != steps->end()) return found->second;
    }
    return StepLabel{};
}

ProgressDisplay::ProgressDisplay(py::object stream, bool terminal)
    : stream_(std::move(stream)), terminal_(terminal), started_(now_seconds()) {}

void ProgressDisplay::node_started(const std::string& node, const py::object& inputs) {
    const StepLabel label = step_of(node, inputs);
    if (label.step.empty()) return;
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "[%5.1fs] ", now_seconds() - started_);
    std::string text = elapsed + label.step + ": " + label.detail;
    if (!terminal_) {
        write(stream_, text + "\n");
        return;
    }
    rewrite_line(stream_, text);
    line_open_ = true;
}

void rewrite_line(const py::object& stream, std::string text) {
    // Never wider than the terminal, since a wrapped line cannot be rewritten.
    const long columns = zorvan::imported(zorvan::dep::shutil_get_terminal_size)().attr("columns").cast<long>();
    const std::size_t width = columns > 1 ? static_cast<std::size_t>(columns - 1) : 79;
    if (text.size() > width) text = text.substr(0, width);
    write(stream, std::string(kClearLine) + text);
}

void ProgressDisplay::finish() {
    if (terminal_ && line_open_) write(stream_, kClearLine);
    line_open_ = false;
}

ProgressScope::ProgressScope(py::module_ cli_module, std::shared_ptr<ProgressDisplay> display) {
    // Set up on first use: the other commands need no LangChain.
    if (!py::hasattr(cli_module, kHookVariable)) add_progress_support(cli_module);
    py::cpp_function report(
        [display](const std::string& node, py::object inputs) { display->node_started(node, inputs); });
    hook_.emplace(cli_module.attr(kHookVariable), cli_module.attr(kHandlerClass)(report));
}

void add_progress_support(py::module_& m) {
    const std::string module_name = py::str(m.attr("__name__"));
    m.attr(kHandlerClass) = make_handler_class(module_name);
    // The handler follows the graph run into every node run.
    m.attr(kHookVariable) = zorvan::make_configure_hook("zorvanai_cli_progress");
}

}  // namespace zorvanai::cli
