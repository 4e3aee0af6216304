// One question run for measurement: which queries the graph executed and
// how each went, which tables it picked, the tokens and cost, and the error
// that ended the run, if any. A failed run is described, not raised, so
// that one failing question never ends a run over many; the final state is
// lost with such an error, so executions are followed as they happen.
#include "agent.hpp"
#include "zorvan/console.hpp"
#include "zorvan/graph_events.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::agent {

namespace {

constexpr const char* kTraceClass = "_RunTrace";
constexpr const char* kTraceVariable = "_run_trace";
constexpr const char* kExecutionNode = zorvan::node::sql_execution;
constexpr const char* kPickerNode = zorvan::node::relevant_table_names;

py::object make_trace_class(const std::string& module_name) {
    return zorvan::callback_handler(
               kTraceClass, module_name,
               "Callback handler that follows the query executions and table picks of one graph run.")
        .method(
            "__init__", "(self)", "Start with nothing seen.",
            [](py::object self) {
                self.attr("executions") = py::list();
                self.attr(zorvan::key::relevant_tables) = py::list();
                self.attr("open_runs") = py::dict();
            },
            py::arg("self"))
        .method(
            "on_chain_start", "(self, serialized, inputs, **kwargs)", "Note the query a node run is about to execute.",
            [](py::object self, py::object, py::object inputs, py::kwargs kwargs) {
                const std::string node = zorvan::graph_node_of(kwargs);
                if (node != kExecutionNode && node != kPickerNode) return;
                py::object query = py::none();
                if (node == kExecutionNode && PyDict_Check(inputs.ptr())) {
                    py::object queries =
                        py::reinterpret_borrow<py::dict>(inputs).attr("get")(zorvan::key::generated_sql_query);
                    if (PyList_Check(queries.ptr()) && py::len(queries) > 0) query = queries[py::int_(-1)];
                }
                self.attr("open_runs")[kwargs["run_id"]] = py::make_tuple(node, query);
            },
            py::arg("self"), py::arg("serialized"), py::arg("inputs"))
        .method(
            "on_chain_end", "(self, outputs, **kwargs)", "Record what a followed node run gave.",
            [](py::object self, py::object outputs, py::kwargs kwargs) {
                if (!kwargs.contains("run_id")) return;
                py::object opened = self.attr("open_runs").attr("pop")(kwargs["run_id"], py::none());
                if (opened.is_none() || !PyDict_Check(outputs.ptr())) return;
                py::dict update = py::reinterpret_borrow<py::dict>(outputs);
                if (opened[py::int_(0)].cast<std::string>() == kPickerNode) {
                    if (update.contains(zorvan::key::relevant_tables))
                        self.attr(zorvan::key::relevant_tables) = update[zorvan::key::relevant_tables];
                    return;
                }
                py::object results = update.attr("get")(zorvan::key::sql_execution_result);
                if (!PyList_Check(results.ptr()) || py::len(results) == 0) return;
                py::dict execution;
                execution["query"] = opened[py::int_(1)];
                execution["result"] = py::str(results[py::int_(0)]);
                execution["success"] = py::bool_(py::bool_(update.attr("get")(zorvan::key::execution_success, false)));
                self.attr("executions").attr("append")(execution);
            },
            py::arg("self"), py::arg("outputs"))
        .build();
}

bool is_instance_of(const py::handle& value, const char* module, const char* name) {
    try {
        return py::isinstance(value, zorvan::import_attr(module, name));
    } catch (py::error_already_set&) {
        return false;  // a library that is not there raised nothing of its own
    }
}

// "model", "database" or "other": where the error that ended a run came from.
std::string error_kind(const py::handle& error) {
    if (is_instance_of(error, "openai", "OpenAIError") || is_instance_of(error, "zorvanai.api", "ModelServiceError") ||
        is_instance_of(error, "langchain_core.exceptions", "OutputParserException") ||
        is_instance_of(error, "pydantic", "ValidationError")) {
        return "model";
    }
    if (is_instance_of(error, "sqlalchemy.exc", "SQLAlchemyError")) return "database";
    return "other";
}

}  // namespace

void add_trace_support(py::module_& m) {
    m.attr(kTraceClass) = make_trace_class(py::str(m.attr("__name__")));
    m.attr(kTraceVariable) = zorvan::make_configure_hook("zorvanai_run_trace");
}

py::dict run_for_evaluation(py::module_ m, const py::object& agent, const py::object& zorvan_api_key,
                            const py::object& query, const py::object& media_path) {
    zorvan::QuietScope scope(true);
    py::dict inputs;
    inputs[zorvan::key::user_question] = query;
    inputs[zorvan::key::save_path] = media_path;
    zorvan::imported(zorvan::dep::os_makedirs)(media_path, py::arg("exist_ok") = true);

    py::dict outcome;
    outcome["error"] = py::none();
    py::object trace = m.attr(kTraceClass)();
    Usage usage;
    {
        UsageScope meter(m);
        zorvan::HookScope follow(m.attr(kTraceVariable), trace);
        try {
            agent.attr("invoke")(inputs);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            py::dict described;
            described["kind"] = py::str(error_kind(error.value()));
            described["reason"] = py::str(failure_reason(error));
            outcome["error"] = described;
        }
        usage = meter.usage(py::getattr(agent, "model_prices", py::dict()));
    }
    outcome["executions"] = trace.attr("executions");
    outcome[zorvan::key::relevant_tables] = trace.attr(zorvan::key::relevant_tables);
    outcome["prompt_tokens"] = py::int_(usage.prompt_tokens);
    outcome["completion_tokens"] = py::int_(usage.completion_tokens);
    outcome["total_cost"] = usage.cost ? py::object(py::float_(*usage.cost)) : py::object(py::none());
    if (outcome["error"].is_none() &&
        std::string(py::str(py::getattr(agent, "model_provider", py::str("vendor")))) == "vendor") {
        py::object cost = usage.cost ? py::object(py::float_(*usage.cost)) : py::object(py::str("unknown"));
        zorvan::imported(zorvan::dep::zorvanai_api_send_user_question_later)(zorvan_api_key, query,
                                                                             py::int_(usage.tokens), cost);
    }
    return outcome;
}

}  // namespace zorvanai::agent
