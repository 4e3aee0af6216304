// Capturing what Python code prints, one thread at a time.
//
// While at least one capture is active anywhere in the process, sys.stdout
// is a router: each write goes to the innermost capture of the writing
// thread, and writes of threads that capture nothing go to the stream that
// was standard output when the first capture began. That stream is put back
// when the last capture ends, on every path. The router is shared by all
// extension modules of the package, so captures of different modules nest
// and overlap safely.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorvan {
namespace py = pybind11;

class OutputCapture {
public:
    // Starts capturing the current thread's output. Requires the GIL.
    OutputCapture();
    ~OutputCapture();

    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;
    OutputCapture(OutputCapture&&) = delete;
    OutputCapture& operator=(OutputCapture&&) = delete;

    // Everything captured so far, in the order written. Requires the GIL.
    std::string text() const;

    // Stops capturing and returns the captured text; later calls return "".
    // Requires the GIL.
    std::string finish();

private:
    unsigned long thread_;
    std::size_t depth_;
    bool active_ = true;
};

}  // namespace zorvan
