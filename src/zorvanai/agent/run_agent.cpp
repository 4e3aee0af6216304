#include "agent.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::agent {

namespace {

constexpr const char* kNoOutput = "Error: No output generated from the agent.";

// A state value that may be missing on routes where its step never ran.
py::object text_or_empty(const py::dict& state, const char* key) {
    py::str name(key);
    if (!state.contains(name) || state[name].is_none()) return py::str("");
    return state[name];
}

py::dict answer_record(const py::object& final_state) {
    py::dict state = final_state.cast<py::dict>();
    py::dict record;
    record["output"] = state[py::str("final_response")];
    record["python_code"] = text_or_empty(state, "pandas_code");
    record["image_path"] = text_or_empty(state, "image_path");
    record["generated_query"] = state[py::str("generated_sql_query")];
    record["sql_execution_result"] = state[py::str("sql_execution_result")];
    return record;
}

// The usage meter as a scope: __exit__ runs on every path.
class UsageMeter {
public:
    UsageMeter() : manager_(zorvan::import_attr("langchain_community.callbacks", "get_openai_callback")()) {
        handler_ = manager_.attr("__enter__")();
    }
    ~UsageMeter() {
        try {
            if (!closed_) manager_.attr("__exit__")(py::none(), py::none(), py::none());
        } catch (...) {
            // Closing the meter only resets a context variable.
        }
    }
    UsageMeter(const UsageMeter&) = delete;
    UsageMeter& operator=(const UsageMeter&) = delete;

    const py::object& handler() const { return handler_; }
    void close() {
        closed_ = true;
        manager_.attr("__exit__")(py::none(), py::none(), py::none());
    }

private:
    py::object manager_;
    py::object handler_;
    bool closed_ = false;
};

}  // namespace

py::object run_agent(py::module_ m, const py::object& agent, const py::object& zorvan_api_key, const py::object& query,
                     const py::object& media_path) {
    py::dict inputs;
    inputs["user_question"] = query;
    inputs["save_path"] = media_path;
    py::module_::import("os").attr("makedirs")(media_path, py::arg("exist_ok") = true);

    py::object total_tokens = py::none();
    py::object total_cost = py::none();
    py::object result = py::none();
    if (!agent.is_none()) {
        UsageMeter meter;
        try {
            py::object final_state = agent.attr("invoke")(inputs);
            result = answer_record(final_state);
            total_tokens = meter.handler().attr("total_tokens");
            total_cost = meter.handler().attr("total_cost");
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            // The traceback goes to standard error, one line to standard output.
            const std::string message = py::str(error.value());
            zorvan::import_attr("traceback", "print_exception")(error.value());
            py::module_::import("builtins").attr("print")("An error occurred when running the agent: " + message);
            py::dict failed;
            failed["output"] = py::str("An error occurred");
            result = failed;
            total_tokens = py::none();
            total_cost = py::none();
        }
        meter.close();
    }

    if (!total_tokens.is_none() && !total_cost.is_none()) {
        m.attr("send_user_question")(zorvan_api_key, query, total_tokens, total_cost);
    }
    if (!result.is_none() && result.contains("output")) return result;
    return py::str(kNoOutput);
}

}  // namespace zorvanai::agent
