#include "agent.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::agent {

py::object make_custom_runnable_agent_class(const std::string& module_name) {
    py::object base = zorvan::imported(zorvan::dep::langchain_classic_agents_agent_RunnableAgent);
    zorvan::ClassBuilder builder("CustomRunnableAgent", module_name, base);
    builder.doc(
        R"(A runnable agent whose planning step is one plain ``invoke`` of its runnable.

No streaming: the agent's next action or actions, or its finish, come back as
the runnable produces them.)");
    builder.method(
        "plan", "(self, intermediate_steps, callbacks=None, **kwargs)",
        R"(Decide the next step.

Args:
    intermediate_steps: the steps taken so far, passed to the runnable under
        "intermediate_steps".
    callbacks: handed to the runnable's run configuration.
    **kwargs: further inputs of the runnable.

Returns:
    What the runnable returned, unchanged.)",
        [](py::object self, py::object intermediate_steps, py::object callbacks, py::kwargs kwargs) {
            py::dict inputs;
            for (auto item : kwargs) inputs[item.first] = item.second;
            inputs["intermediate_steps"] = intermediate_steps;
            py::dict config;
            config["callbacks"] = callbacks;
            return self.attr("runnable").attr("invoke")(inputs, py::arg("config") = config);
        },
        py::arg("self"), py::arg("intermediate_steps"), py::arg("callbacks") = py::none());
    // pydantic accepts only plain functions in a model's body; the C++
    // method's wrapper type is declared as one to leave alone.
    py::dict config = py::dict(base.attr("model_config").attr("copy")());
    py::object method_type =
        py::type::of(zorvan::detail::make_instance_method(zorvan::signed_function("probe", "()", "", [] {})));
    config["ignored_types"] = py::make_tuple(method_type);
    builder.attr("model_config", config);
    return builder.build();
}

}  // namespace zorvanai::agent
