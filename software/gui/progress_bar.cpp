#include "gui/progress_bar.h"

#include <algorithm>

namespace {

const char* const style_sheet = R"(
QProgressBar {
    border: 2px solid grey;
    border-radius: 5px;
    text-align: center;
}

QProgressBar::chunk {
    background-color: rgba(160,240,140,100%);
    width: 5px;
}
)";

} // namespace

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent), timer(new QTimer(this)) {
    setup_GUI();
    connect(timer, &QTimer::timeout, this, &ProgressBar::increase);
}

void ProgressBar::setup_GUI() {
    setRange(0, 100);
    setStyleSheet(style_sheet);
}

void ProgressBar::startAutoProgress(QString const& format, double duration_s) {
    timer->stop();
    setValue(minimum());
    setFormat(format);
    if (duration_s >= 0.0)
        durationMs = std::max(1, static_cast<int>(duration_s * 1000));
    startAutoProgress();
}

void ProgressBar::startAutoProgress() {
    steps = std::max(1, maximum() - minimum());
    setValue(minimum());
    timer->setInterval(std::max(minInterval, durationMs / steps));
    timer->start();
    clock.start();
    show();
}

void ProgressBar::increase() {
    setValue(static_cast<int>(steps * (static_cast<double>(clock.elapsed()) / durationMs)));
    if (clock.elapsed() > durationMs) {
        timer->stop();
        setValue(maximum());
        emit finished();
    }
}

// Never back within a run of the bar: a time estimate that ran ahead waits for the work to catch up.
void ProgressBar::followProgress(int value) {
    timer->stop();
    setValue(std::clamp(std::max(value, this->value()), minimum(), maximum()));
}
