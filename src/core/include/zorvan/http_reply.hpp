// Describing HTTP answers that are not what was expected, and refusing
// plain-text transport of keys.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvan {
namespace py = pybind11;

inline constexpr const char* kAllowHttpVariable = "ZORVAN_ALLOW_HTTP";

// True when the content type or the body's start says HTML.
bool is_html(const std::string& content_type, const std::string& body);

// "HTTP status 502, an HTML page (text/html): <first 200 bytes>": what came
// back, for error messages. The body is cut at 200 bytes and kept on one line.
std::string reply_summary(long status, const std::string& content_type, const std::string& body);

// The same for a requests or httpx response object.
std::string reply_summary(py::handle response);

// Raises `error_class` when `url` is http:// to a host that is not loopback
// (localhost, 127.0.0.0/8, ::1) and ZORVAN_ALLOW_HTTP is not on: a key sent
// there would travel in clear. `variable` names the setting that holds the
// address.
void refuse_plain_http(const std::string& url, const std::string& variable, py::handle error_class);

}  // namespace zorvan
