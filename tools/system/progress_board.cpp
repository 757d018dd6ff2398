#include "tools/system/progress_board.h"

#include <algorithm>

#include "tools/system/phase_bar.h"

namespace dfuhost {

namespace {

constexpr auto kRedraw = std::chrono::milliseconds(100);

}  // namespace

std::string boardLine(const std::string& device, std::size_t width, const client::ProgressUpdate& update,
                      double seconds) {
    std::string line = device;
    line.resize(std::max(width, device.size()), ' ');
    return line + " " + phaseText(update, seconds);
}

ProgressBoard::ProgressBoard(BoardMode mode, std::vector<std::string> devices, std::FILE* out)
    : mode_(mode), out_(out) {
    for (std::string& device : devices) {
        width_ = std::max(width_, device.size());
        Row row;
        row.device = std::move(device);
        rows_.push_back(std::move(row));
    }
}

void ProgressBoard::update(std::size_t row, const client::ProgressUpdate& update) {
    if (mode_ == BoardMode::Off || row >= rows_.size()) return;
    std::lock_guard lock(mutex_);
    Row& r = rows_[row];
    const auto now = std::chrono::steady_clock::now();
    const bool newPhase = !r.started || update.phase != r.last.phase;
    if (newPhase) {
        // Without a terminal the phase that ended is the line a log keeps.
        if (r.started && mode_ == BoardMode::Lines) printLine(r);
        r.started = true;
        r.phaseStart = now;
    }
    r.last = update;
    r.lastUpdate = now;
    if (mode_ == BoardMode::Terminal && (newPhase || !drawn_ || now - lastDraw_ >= kRedraw)) redraw();
}

void ProgressBoard::finish(std::size_t row, bool ok) {
    if (mode_ == BoardMode::Off || row >= rows_.size()) return;
    std::lock_guard lock(mutex_);
    Row& r = rows_[row];
    r.state = ok ? "done" : "failed";
    if (mode_ == BoardMode::Lines) printLine(r);
    else redraw();
}

void ProgressBoard::note(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (mode_ == BoardMode::Terminal && drawn_) {
        // Over the board's first line; the board is drawn again below the note.
        std::fprintf(out_, "\033[%zuA\r\033[K%s\n", rows_.size(), text.c_str());
        drawn_ = false;
        redraw();
        return;
    }
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

std::string ProgressBoard::text(const Row& row) const {
    std::string line;
    if (!row.started) {
        line = row.device;
        line.resize(width_, ' ');
        line += " waiting";
    } else {
        const double seconds = std::chrono::duration<double>(row.lastUpdate - row.phaseStart).count();
        line = boardLine(row.device, width_, row.last, seconds);
    }
    if (row.state != nullptr) line += std::string(" ") + row.state;
    return line;
}

void ProgressBoard::printLine(const Row& row) {
    std::fprintf(out_, "%s\n", text(row).c_str());
    std::fflush(out_);
}

void ProgressBoard::redraw() {
    if (drawn_) std::fprintf(out_, "\033[%zuA", rows_.size());
    for (const Row& row : rows_) std::fprintf(out_, "\r\033[K%s\n", text(row).c_str());
    std::fflush(out_);
    drawn_ = true;
    lastDraw_ = std::chrono::steady_clock::now();
}

}  // namespace dfuhost
