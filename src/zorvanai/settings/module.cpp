#include <pybind11/pybind11.h>

#include "settings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(settings, m) {
    m.doc() =
        "Connection settings of the two Azure OpenAI chat deployments.\n\n"
        "    from zorvanai.settings import AzureOpenAIChat35\n"
        "    light = AzureOpenAIChat35(azure_deployment=\"gpt35\", "
        "azure_endpoint=\"https://example.openai.azure.com\",\n"
        "                              api_key=\"key\", api_version=\"2024-10-21\")\n"
        "    AzureChatOpenAI(**vars(light), max_tokens=4096, temperature=0)   # what the graph does";
    const std::string name = py::str(m.attr("__name__"));
    m.attr("AzureOpenAIChat35") = zorvanai::settings::make_settings_class("AzureOpenAIChat35", "lighter", name);
    m.attr("AzureOpenAIChat4") = zorvanai::settings::make_settings_class("AzureOpenAIChat4", "stronger", name);
}
