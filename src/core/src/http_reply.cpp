#include "zorvan/http_reply.hpp"

#include <algorithm>
#include <cctype>

#include "zorvan/console.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvan {

namespace {

constexpr std::size_t kShownBytes = 200;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The first bytes of a body on one line, never cutting a UTF-8 character.
std::string shown_body(const std::string& body) {
    std::size_t end = std::min(body.size(), kShownBytes);
    while (end > 0 && end < body.size() && (static_cast<unsigned char>(body[end]) & 0xC0) == 0x80) --end;
    std::string text = body.substr(0, end);
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    if (end < body.size()) text += "...";
    return text.empty() ? "(an empty body)" : text;
}

}  // namespace

bool is_html(const std::string& content_type, const std::string& body) {
    if (lower(content_type).find("html") != std::string::npos) return true;
    const auto first = body.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return false;
    const std::string start = lower(body.substr(first, 15));
    return start.rfind("<!doctype html", 0) == 0 || start.rfind("<html", 0) == 0;
}

std::string reply_summary(long status, const std::string& content_type, const std::string& body) {
    const std::string type = content_type.empty() ? "no content type" : content_type;
    const std::string what = is_html(content_type, body) ? "an HTML page (" + type + ")" : type;
    return "HTTP status " + std::to_string(status) + ", " + what + ": " + shown_body(body);
}

std::string reply_summary(py::handle response) {
    const long status = response.attr("status_code").cast<long>();
    py::object type = response.attr("headers").attr("get")("content-type", "");
    std::string body;
    try {
        py::object content = response.attr("content");
        body = py::bytes(content).cast<std::string>();
    } catch (py::error_already_set&) {
        // A streamed body that was never read: only status and type are known.
        body.clear();
    }
    return reply_summary(status, py::str(type), body);
}

void refuse_plain_http(const std::string& url, const std::string& variable, py::handle error_class) {
    py::object parts = imported(dep::urllib_parse_urlsplit)(url);
    if (lower(py::str(parts.attr("scheme"))) != "http") return;
    py::object host = parts.attr("hostname");
    const std::string name = host.is_none() ? std::string() : lower(py::str(host));
    if (name == "localhost") return;
    try {
        if (py::bool_(imported(dep::ipaddress_ip_address)(name).attr("is_loopback"))) return;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        // A host name: only "localhost" counts as this machine.
    }
    if (env_flag(kAllowHttpVariable)) return;
    raise_error(error_class, variable + " is " + url +
                                 ": plain http:// to another machine would send the key in clear; use https://, "
                                 "or set " +
                                 kAllowHttpVariable + "=1 to allow it");
}

}  // namespace zorvan
