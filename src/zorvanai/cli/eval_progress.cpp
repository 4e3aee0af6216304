#include <algorithm>
#include <chrono>
#include <cstdio>

#include "eval.hpp"

namespace zorvanai::cli::eval {

namespace {

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// "42s", "3m05s", "1h02m".
std::string duration_text(double seconds) {
    const long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole < 60) {
        std::snprintf(text, sizeof text, "%lds", whole);
    } else if (whole < 3600) {
        std::snprintf(text, sizeof text, "%ldm%02lds", whole / 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%ldh%02ldm", whole / 3600, whole % 3600 / 60);
    }
    return text;
}

}  // namespace

RunProgress::RunProgress(py::object stream, bool terminal, std::size_t total, std::size_t done, std::size_t matched)
    : stream_(std::move(stream)),
      terminal_(terminal),
      total_(total),
      done_(done),
      matched_(matched),
      started_(now_seconds()) {}

void RunProgress::finished(const Record& record) {
    ++done_;
    ++done_here_;
    matched_ += record.match;
    char counts[64];
    const int width = static_cast<int>(std::to_string(total_).size());
    std::snprintf(counts, sizeof counts, "[%*zu/%zu] ", width, done_, total_);
    char accuracy[48];
    std::snprintf(accuracy, sizeof accuracy, "accuracy %.1f%%", 100.0 * matched_ / done_);
    if (!terminal_) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%6.1fs  ", record.seconds);
        std::string outcome = record.match ? "matched" : record.stage.value_or(stage::error);
        std::replace(outcome.begin(), outcome.end(), '_', ' ');
        outcome.resize(std::max<std::size_t>(outcome.size() + 2, 16), ' ');
        write(stream_, counts + outcome + seconds + first_line(record.question) + "  (" + accuracy + ")\n");
        return;
    }
    // The time left, from this session's pace.
    const double per_question = (now_seconds() - started_) / static_cast<double>(done_here_);
    const std::size_t left = total_ > done_ ? total_ - done_ : 0;
    const int filled = static_cast<int>(20.0 * done_ / std::max<std::size_t>(total_, 1));
    const std::string bar = "[" + std::string(filled, '#') + std::string(20 - filled, '.') + "] ";
    rewrite_line(stream_, bar + counts + accuracy + (left > 0 ? "  ETA " + duration_text(per_question * left) : ""));
}

void RunProgress::clear() {
    if (terminal_ && done_here_ > 0) write(stream_, kClearLine);
}

}  // namespace zorvanai::cli::eval
