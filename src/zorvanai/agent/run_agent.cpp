#include <exception>

#include "agent.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::agent {

namespace {

constexpr const char* kNoOutput = "Error: No output generated from the agent.";

py::object item(const py::object& state, const char* key) {
    return state[py::str(key)];
}

// The answer record from the final state. When the graph ended without
// running a script (the SQL attempts were given up), the answer still
// stands: the script and the chart path are then empty texts.
py::dict answer_record(const py::object& state) {
    py::dict record;
    record["output"] = item(state, "final_response");
    if (state.contains(py::str("pandas_code"))) {
        record["python_code"] = item(state, "pandas_code");
        record["image_path"] = item(state, "image_path");
    } else {
        record["python_code"] = py::str("");
        py::object image_path = state.attr("get")("image_path");
        record["image_path"] = image_path.is_none() ? py::str("") : image_path;
    }
    record["generated_query"] = item(state, "generated_sql_query");
    record["sql_execution_result"] = item(state, "sql_execution_result");
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

// Runs `step`, turning a C++ exception into the Python error it stands for,
// so that one handler sees every failure of the measured work.
template <typename Step>
void as_python_errors(Step&& step) {
    try {
        step();
    } catch (py::error_already_set&) {
        throw;
    } catch (py::builtin_exception& error) {
        error.set_error();
        throw py::error_already_set();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        throw py::error_already_set();
    }
}

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
            as_python_errors([&] {
                py::object final_state = agent.attr("invoke")(inputs);
                result = answer_record(final_state);
                total_tokens = meter.handler().attr("total_tokens");
                total_cost = meter.handler().attr("total_cost");
            });
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            // The traceback goes to standard error, one line to standard output.
            zorvan::import_attr("traceback", "print_exception")(error.type(), error.value(), error.trace());
            const std::string message = py::str(error.value());
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
