#include "node_class.hpp"

#include <sstream>

namespace zorvanai::qa_nodes {

std::string args_doc(const std::string& summary, std::initializer_list<const char*> params) {
    std::string text = summary + "\n\nArgs:";
    for (const char* param : params) text += std::string("\n    ") + param;
    return text;
}

std::string section(const char* title, const std::string& body) {
    std::string text = std::string("\n\n") + title + ":";
    std::istringstream lines(body);
    for (std::string line; std::getline(lines, line);) text += line.empty() ? "\n" : "\n    " + line;
    return text;
}

std::string prompt_doc(const std::string& summary, const std::string& returns) {
    return args_doc(summary, {kStateParam}) + section("Returns", returns);
}

std::string invoke_doc(const std::string& summary, const std::string& returns, const std::string& raises) {
    return args_doc(summary, {kStateParam, kKwargsParam}) + section("Returns", returns) +
           section("Raises", raises.empty() ? kNotMapping : kNotMapping + ("\n" + raises));
}

std::string route_doc(const std::string& summary, const std::string& returns, const std::string& raises) {
    return prompt_doc(summary, returns) + section("Raises", kNotMapping + ("\n" + raises));
}

py::dict update_of(const char* key, py::object value) {
    py::dict update;
    update[key] = std::move(value);
    return update;
}

py::object message_template(const char* kind, py::handle text, bool jinja2) {
    py::object from_template = prompts_attr(kind).attr("from_template");
    if (jinja2) return from_template(text, py::arg("template_format") = "jinja2");
    return from_template(text);
}

py::dict ask_for(py::object self, py::object state, const char* key) {
    py::object prompt = self.attr("generate_prompt")(state);
    py::object reply = self.attr("model").attr("invoke")(prompt);
    return update_of(key, reply.attr(key));
}

NodeClass::NodeClass(const char* name, const std::string& module_name, const std::string& doc)
    : builder_(name, module_name, runnable_base()) {
    builder_.doc(doc);
}

}  // namespace zorvanai::qa_nodes
