#include "gui/progress_bar.h"

#include "gui/accessibility.h"

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

// A new bar holds no value (-1); it starts at 0, inside its range, as assistive technologies read it. It can
// hold the focus, to tell the phase to a screen reader while it covers the button.
void ProgressBar::setup_GUI() {
    setRange(0, 100);
    setValue(minimum());
    setFocusPolicy(Qt::TabFocus);
    setStyleSheet(style_sheet);
}

void ProgressBar::setCaption(QString const& caption) {
    bool const news = isVisible() && caption != accessibleDescription();
    setFormat(caption);
    setAccessibleDescription(caption);
    if (news)
        accessibility::announce_caption(this);
}

void ProgressBar::setVisible(bool visible) {
    if (visible)
        setEnabled(true);
    QProgressBar::setVisible(visible);
    if (!visible)
        setEnabled(false);
    emit visibilityChanged();
}

void ProgressBar::startAutoProgress(QString const& format, double duration_s) {
    timer->stop();
    setValue(minimum());
    setCaption(format);
    if (duration_s >= 0.0)
        durationMs = std::max(1, static_cast<int>(duration_s * 1000));
    startAutoProgress();
}

// The range is 0 to 100: a value is the phase's percent.
void ProgressBar::startAutoProgress() {
    setValue(minimum());
    timer->setInterval(std::max(minInterval, durationMs / 100));
    timer->start();
    phase.start(durationMs);
    show();
}

void ProgressBar::increase() {
    setValue(phase.by_time());
    if (phase.time_is_up()) {
        timer->stop();
        setValue(maximum());
        emit finished();
    }
}

void ProgressBar::followProgress(int value) {
    timer->stop();
    setValue(phase.by_work(value));
}
