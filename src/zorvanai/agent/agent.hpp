// The agent front end: create an assistant for one database and ask it
// questions. The functions look their collaborators up in the module's own
// namespace at each call, as Python module code would.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::agent {
namespace py = pybind11;

// The connection address of Part "agent creation": scheme, user, password,
// host, port and database; user and password are percent-encoded.
std::string connection_address(const py::object& engine, const py::object& db_name, const py::object& db_user,
                               const py::object& db_password, const py::object& db_host, const py::object& db_port);

py::object create_agent(py::module_ m, const py::object& engine, const py::object& db_name, const py::object& db_user,
                        const py::object& db_password, const py::object& db_host, const py::object& db_port);

py::object run_agent(py::module_ m, const py::object& agent, const py::object& zorvan_api_key, const py::object& query,
                     const py::object& media_path);

py::object create_chat_openai_instance(py::module_ m, const py::object& zorvan_api_key);

py::object make_custom_runnable_agent_class(const std::string& module_name);

}  // namespace zorvanai::agent
