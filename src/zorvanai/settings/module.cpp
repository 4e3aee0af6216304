#include <pybind11/pybind11.h>

#include "settings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(settings, m) {
    m.doc() = "Connection settings of the two Azure OpenAI chat deployments.";
    const std::string name = py::str(m.attr("__name__"));
    m.attr("AzureOpenAIChat35") = zorvanai::settings::make_settings_class("AzureOpenAIChat35", "lighter", name);
    m.attr("AzureOpenAIChat4") = zorvanai::settings::make_settings_class("AzureOpenAIChat4", "stronger", name);
}
