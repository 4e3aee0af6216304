#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvanai::api {
namespace py = pybind11;

// ZorvanAPIHandler: the vendor service as seen by one account.
py::object make_handler_class(const std::string& module_name);

}  // namespace zorvanai::api
