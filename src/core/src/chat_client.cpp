#include "zorvan/chat_client.hpp"

#include <string>

#include "zorvan/pyutil.hpp"

namespace zorvan {

py::object azure_chat_client(py::handle settings, const py::dict& extra) {
    py::object client_class = import_attr("langchain_openai", "AzureChatOpenAI");
    py::dict kwargs;
    py::dict entries = settings.attr("__dict__");
    for (auto item : entries) kwargs[item.first] = item.second;
    for (auto item : extra) {
        if (kwargs.contains(item.first)) {
            const std::string callee = std::string(py::str(client_class.attr("__module__"))) + "." +
                                       std::string(py::str(client_class.attr("__qualname__")));
            throw py::type_error(callee + "() got multiple values for keyword argument '" +
                                 std::string(py::str(item.first)) + "'");
        }
        kwargs[item.first] = item.second;
    }
    return client_class(**kwargs);
}

}  // namespace zorvan
