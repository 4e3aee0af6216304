#include "cli.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

void write(const py::object& stream, const std::string& text) {
    stream.attr("write")(py::str(text));
    stream.attr("flush")();
}

std::string error_lines(const std::string& message) {
    std::string out;
    std::size_t start = 0;
    while (start <= message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string::npos) end = message.size();
        const std::string line = message.substr(start, end - start);
        out += (line.rfind("  ", 0) == 0 ? line : "zorvanai: " + line) + "\n";
        start = end + 1;
    }
    return out;
}

std::string first_line(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        const auto first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos) {
            const auto last = line.find_last_not_of(" \t\r");
            return line.substr(first, last - first + 1);
        }
        start = end + 1;
    }
    return "";
}

py::object root_error(py::object error) {
    // A module whose initialisation failed raises ImportError("initialization
    // failed") from the error that stopped it; that one says what is wrong.
    while (py::isinstance(error, py::handle(PyExc_ImportError)) && !error.attr("__cause__").is_none()) {
        error = error.attr("__cause__");
    }
    return error;
}

std::string describe_error(const py::error_already_set& error) {
    py::object root = root_error(error.value());
    const std::string message = first_line(py::str(root));
    const std::string type = zorvan::type_name(root);
    return message.empty() ? type : type + ": " + message;
}

DivertedOutput::DivertedOutput(py::object target) : sys_(zorvan::imported_module(zorvan::dep::sys_module)) {
    saved_out_ = sys_.attr("stdout");
    saved_err_ = sys_.attr("stderr");
    if (target.is_none()) {
        buffer_ = zorvan::imported(zorvan::dep::io_StringIO)();
        target = buffer_;
    } else {
        buffer_ = py::none();
    }
    sys_.attr("stdout") = target;
    sys_.attr("stderr") = target;
}

DivertedOutput::~DivertedOutput() {
    sys_.attr("stdout") = saved_out_;
    sys_.attr("stderr") = saved_err_;
}

std::string DivertedOutput::text() const {
    if (buffer_.is_none()) return "";
    return py::str(buffer_.attr("getvalue")());
}

std::string text_argument(const py::object& text) {
    std::string value = py::str(text);
    if (value != "-") return value;
    value = py::str(zorvan::imported(zorvan::dep::sys_stdin).attr("read")());
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

}  // namespace zorvanai::cli
