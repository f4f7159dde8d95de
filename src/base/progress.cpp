// The progress line: when to show it, its text, and its erasure.
#include "base/progress.h"

#include <chrono>
#include <cstdio>

#include "base/messages.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Mode { none, terminal, plain };

constexpr auto FIRST_AFTER = std::chrono::seconds(1);
constexpr auto TERMINAL_EVERY = std::chrono::milliseconds(100);
constexpr auto PLAIN_EVERY = std::chrono::seconds(1);

struct ProgressState {
    Mode mode = Mode::none;
    bool reading = false;
    int64_t total = -1;
    int64_t entries = 0;
    uint64_t bytes = 0;
    Clock::time_point start;
    Clock::time_point next_draw;
    size_t shown_len = 0;  // characters of the line now on the terminal
    bool drawing = false;  // a draw is under way (its flush may print message 51)
};

ProgressState state;

// "512 B", "3.4 kB", "12.0 MB", ...: decimal units, one decimal.
std::string amount(double n) {
    static const char* const units[] = {"kB", "MB", "GB", "TB", "PB"};
    char text[32];
    if (n < 1000) {
        std::snprintf(text, sizeof text, "%.0f B", n);
        return text;
    }
    int u = 0;
    for (n /= 1000; n >= 1000 && u < 4; ++u) n /= 1000;
    std::snprintf(text, sizeof text, "%.1f %s", n, units[u]);
    return text;
}

void put(const std::string& s) { plat::write_text(stderr, s.data(), s.size()); }

void draw(Clock::time_point now) {
    double seconds = std::chrono::duration<double>(now - state.start).count();
    std::string line = progress_text(state.entries, state.bytes, seconds, state.reading, state.total);
    state.drawing = true;
    // What is waiting for standard output goes first, so it never lands
    // inside the line.
    stdout_flush();
    state.drawing = false;
    if (state.mode == Mode::plain) {
        put(line + "\n");
        state.next_draw = now + PLAIN_EVERY;
        return;
    }
    // Blanks cover what is left of a longer line drawn before.
    size_t len = line.size();
    if (len < state.shown_len) line.append(state.shown_len - len, ' ');
    put("\r" + line);
    state.shown_len = line.size();
    state.next_draw = now + TERMINAL_EVERY;
}

void tick() {
    if (state.mode == Mode::none || state.drawing) return;
    Clock::time_point now = Clock::now();
    if (now >= state.next_draw) draw(now);
}

}  // namespace

std::string progress_text(int64_t entries, uint64_t bytes, double seconds, bool reading, int64_t total) {
    double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    std::string line = "kelparc: " + std::to_string(entries) + (entries == 1 ? " entry, " : " entries, ") +
                       amount(static_cast<double>(bytes)) + (reading ? " read, " : " written, ") +
                       amount(rate) + "/s";
    if (reading && total > 0) {
        uint64_t share = bytes >= static_cast<uint64_t>(total) ? 100 : bytes * 100 / static_cast<uint64_t>(total);
        line += ", " + std::to_string(share) + "%";
    }
    return line;
}

void progress_begin(int8_t setting, bool quiet, bool reading) {
    state = ProgressState();
    state.reading = reading;
    if (quiet || setting < 0) return;
    if (plat::is_terminal(2)) {
        state.mode = Mode::terminal;
    } else if (setting > 0) {
        state.mode = Mode::plain;
    }
    progress_restart();
}

void progress_restart() {
    state.start = Clock::now();
    state.next_draw = state.start + FIRST_AFTER;
}

void progress_set_total(int64_t archive_size) { state.total = archive_size; }

void progress_entry() {
    ++state.entries;
    tick();
}

void progress_bytes(uint64_t n) {
    state.bytes += n;
    tick();
}

void progress_clear() {
    if (state.shown_len == 0) return;
    put("\r" + std::string(state.shown_len, ' ') + "\r");
    state.shown_len = 0;
}

void progress_end() {
    progress_clear();
    state.mode = Mode::none;
}
