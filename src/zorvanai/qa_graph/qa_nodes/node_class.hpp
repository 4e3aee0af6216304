// The node classes and routing functions are built from these pieces: a
// class builder whose state methods check the state first, and docstrings
// assembled from the argument and error blocks they all share.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "support.hpp"
#include "zorvan/graph_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::qa_nodes {

// Argument lines of the docstrings.
inline constexpr const char* kDbParam = "db: the database handle (CustomSQLDatabase).";
inline constexpr const char* kModelParam = "model: the chat model (AzureChatOpenAI).";
inline constexpr const char* kStateParam = "state: the graph state (a plain mapping).";
inline constexpr const char* kKwargsParam = "**kwargs: ignored.";
inline constexpr const char* kNotMapping = "TypeError: state is not a mapping.";

// "{summary}\n\nArgs:\n    {param}..." (one indented line each).
std::string args_doc(const std::string& summary, std::initializer_list<const char*> params);
// "\n\n{title}:\n" and `body` with each line indented by four spaces.
std::string section(const char* title, const std::string& body);
// A method over the state that builds a prompt: the state argument and what it returns.
std::string prompt_doc(const std::string& summary, const std::string& returns);
// `invoke(self, state, **kwargs)`: the arguments, `returns`, and the
// TypeError for a state that is not a mapping followed by `raises` lines.
std::string invoke_doc(const std::string& summary, const std::string& returns, const std::string& raises = "");
// A routing function or error handler `f(state)`.
std::string route_doc(const std::string& summary, const std::string& returns, const std::string& raises);

// {key: value}, the usual shape of a node's update.
py::dict update_of(const char* key, py::object value);

// `SystemMessagePromptTemplate`/`HumanMessagePromptTemplate`.from_template(text),
// in jinja2 format when asked.
py::object message_template(const char* kind, py::handle text, bool jinja2 = false);

// `invoke` of the nodes that ask the structured model one thing: the reply's
// `key` under `key`.
py::dict ask_for(py::object self, py::object state, const char* key);

// Module function `name(state)` (a routing condition or an error node); a
// state that is not a mapping raises TypeError first.
template <typename Func>
void def_on_state(py::module_& m, const char* name, const std::string& doc, Func body) {
    zorvan::def(
        m, name, "(state)", doc,
        [body](py::object state) -> py::object {
            zorvan::require_mapping(state, "state");
            return body(state);
        },
        py::arg("state"));
}

// A LangChain Runnable subclass of the node module.
class NodeClass {
public:
    NodeClass(const char* name, const std::string& module_name, const std::string& doc);

    template <typename Func, typename... Extra>
    NodeClass& init(const char* params, const std::string& doc, Func&& body, const Extra&... extra) {
        builder_.method("__init__", params, doc, std::forward<Func>(body), py::arg("self"), extra...);
        return *this;
    }

    // __init__(self, db), __init__(self, model) or __init__(self, db, model),
    // documented as `summary` and the shared argument lines.
    template <typename Func>
    NodeClass& init_db(const std::string& summary, Func&& body) {
        return init("(self, db)", args_doc(summary, {kDbParam}), std::forward<Func>(body), py::arg("db"));
    }
    template <typename Func>
    NodeClass& init_model(const std::string& summary, Func&& body) {
        return init("(self, model)", args_doc(summary, {kModelParam}), std::forward<Func>(body), py::arg("model"));
    }
    template <typename Func>
    NodeClass& init_db_model(const std::string& summary, Func&& body) {
        return init("(self, db, model)", args_doc(summary, {kDbParam, kModelParam}), std::forward<Func>(body),
                    py::arg("db"), py::arg("model"));
    }

    // As init_model and init_db_model, with self.model first set to `model`
    // bound to the module's structured record `record`; `body` then gets
    // (self) or (self, db).
    template <typename Func>
    NodeClass& init_structured(const Globals& globals, const char* record, const std::string& summary, Func body) {
        return init_model(summary, [globals, record, body](py::object self, py::object model) {
            self.attr("model") = structured_model(model, globals, record);
            body(self);
        });
    }
    template <typename Func>
    NodeClass& init_db_structured(const Globals& globals, const char* record, const std::string& summary, Func body) {
        return init_db_model(summary, [globals, record, body](py::object self, py::object db, py::object model) {
            self.attr("model") = structured_model(model, globals, record);
            body(self, db);
        });
    }

    // `name(self, state)`; a state that is not a mapping raises TypeError first.
    template <typename Func>
    NodeClass& on_state(const char* name, const std::string& doc, Func body) {
        builder_.method(
            name, "(self, state)", doc,
            [body](py::object self, py::object state) -> py::object {
                zorvan::require_mapping(state, "state");
                return body(self, state);
            },
            py::arg("self"), py::arg("state"));
        return *this;
    }

    // `invoke(self, state, **kwargs)`; the keyword arguments are ignored.
    template <typename Func>
    NodeClass& invoke(const std::string& doc, Func body) {
        builder_.method(
            "invoke", "(self, state, **kwargs)", doc,
            [body](py::object self, py::object state, py::kwargs) -> py::object {
                zorvan::require_mapping(state, "state");
                return body(self, state);
            },
            py::arg("self"), py::arg("state"));
        return *this;
    }

    py::object build() { return builder_.build(); }

private:
    zorvan::ClassBuilder builder_;
};

}  // namespace zorvanai::qa_nodes
