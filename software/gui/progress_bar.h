#pragma once

#include "files/phase_progress.h"

#include <QProgressBar>
#include <QTimer>

// A bar that fills in proportion to the time elapsed since its run started, until the work it shows reports
// how far it has come: from then on it shows that.
class ProgressBar : public QProgressBar {
    Q_OBJECT

public:
    explicit ProgressBar(QWidget* parent = nullptr);

    void setup_GUI();
    // The words drawn in the bar, also its description; a screen reader says new ones while the bar is shown.
    void setCaption(QString const& caption);
    // Hidden, the bar is also disabled, so that assistive technologies do not offer it as usable.
    void setVisible(bool visible) override;

    int minInterval = 50;
    QTimer* timer = nullptr;
    progress::Phase phase;
    int durationMs = 10000;

signals:
    void finished();
    // Shown or hidden: the window's button under it is covered or free.
    void visibilityChanged();

public slots:
    void startAutoProgress(QString const& format, double duration_s = -1.0);
    void startAutoProgress();
    void increase();
    void followProgress(int value);
};
