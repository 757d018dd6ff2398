#include "tools/system/phase_bar.h"

#include <algorithm>

namespace dfuhost {

namespace {

constexpr auto kRedraw = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;

}  // namespace

std::string byteText(double bytes) {
    char text[32];
    if (bytes < 1024) std::snprintf(text, sizeof(text), "%.0f B", bytes);
    else if (bytes < 1024 * 1024) std::snprintf(text, sizeof(text), "%.1f KiB", bytes / 1024);
    else std::snprintf(text, sizeof(text), "%.1f MiB", bytes / (1024 * 1024));
    return text;
}

PhaseBar::PhaseBar(bool enabled, std::string device, std::FILE* out)
    : enabled_(enabled), device_(std::move(device)), out_(out) {}

PhaseBar::~PhaseBar() {
    std::lock_guard lock(mutex_);
    if (drawn_) draw(last_, true);
}

void PhaseBar::update(const client::ProgressUpdate& update) {
    if (!enabled_) return;
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!drawn_ || update.phase != phase_) {
        // The finished phase keeps its line; the next one starts below it.
        if (drawn_) draw(last_, true);
        phase_ = update.phase;
        phaseStart_ = now;
    } else if (now - lastDraw_ < kRedraw && update.done < update.total) {
        last_ = update;
        return;
    }
    last_ = update;
    lastDraw_ = now;
    draw(update, false);
    drawn_ = true;
}

void PhaseBar::draw(const client::ProgressUpdate& update, bool final) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - phaseStart_).count();
    std::fprintf(out_, "\r\033[K%s %s", device_.c_str(), phaseText(update, seconds).c_str());
    if (final) std::fputc('\n', out_);
    std::fflush(out_);
    if (final) drawn_ = false;
}

std::string phaseText(const client::ProgressUpdate& update, double seconds) {
    const double fraction = update.total == 0 ? 1.0 : static_cast<double>(update.done) / static_cast<double>(update.total);
    const int filled = std::min(static_cast<int>(fraction * kBarWidth), kBarWidth);
    const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '.');
    const std::string rate = seconds > 0 ? byteText(static_cast<double>(update.done) / seconds) + "/s" : "";
    char text[160];
    std::snprintf(text, sizeof(text), "%-8s [%s] %s / %s %s", client::phaseName(update.phase), bar.c_str(),
                  byteText(static_cast<double>(update.done)).c_str(), byteText(static_cast<double>(update.total)).c_str(),
                  rate.c_str());
    return text;
}

}  // namespace dfuhost
