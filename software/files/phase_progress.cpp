#include "files/phase_progress.h"

#include <algorithm>

namespace progress {

void Phase::start(int new_duration_ms) {
    duration_ms = std::max(1, new_duration_ms);
    last = 0;
    clock.start();
}

int Phase::by_time(int ceiling, int step) {
    int const elapsed = static_cast<int>(std::min<qint64>(100, 100 * clock.elapsed() / duration_ms));
    return keep(std::min(ceiling, elapsed) / step * step);
}

int Phase::by_work(int percent) {
    return keep(std::clamp(percent, 0, 100));
}

bool Phase::time_is_up() const {
    return clock.elapsed() > duration_ms;
}

int Phase::keep(int percent) {
    last = std::max(last, percent);
    return last;
}

} // namespace progress
