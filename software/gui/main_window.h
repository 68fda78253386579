#pragma once

#include "gui/progress_bar.h"
#include "gui/settings.h"

#include <QLabel>
#include <QMainWindow>
#include <QPushButton>

class InstallButton : public QPushButton {
    Q_OBJECT

public:
    explicit InstallButton(QWidget* parent);
};

// The fixed-size window over the background picture; geometry is design pixels times `scale`.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    MainWindow(Settings::Settings const* settings, QWidget* parent);

    void setupGeometry();

    QWidget* central;
    QLabel* statusLabel = nullptr;
    // What happened and what to do, when there is more to say than the status line holds.
    QLabel* hintLabel = nullptr;
    bool downloadMode = false;
    double scale;
    InstallButton* installButton = nullptr;
    ProgressBar* progressBar = nullptr;

signals:
    void finished();
    void downloadModeChanged();

public slots:
    void enableDownload();
    void disableDownload();
    void toggleDownload();
    void updateDownloadMode();
    // The button as it can be used now: enabled while the upgrade is offered and the bar leaves it uncovered.
    void applyDownloadMode();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Closing takes the quit key's way, which finishes a write under way first and says so.
    void closeEvent(QCloseEvent* event) override;
};

MainWindow* MainWindow_factory(Settings::Settings const* settings, QWidget* parent, bool simulator);
void add_labels(Settings::Settings const* settings, MainWindow* window, bool simulator);
