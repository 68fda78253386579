#include "gui/main_window.h"

#include "files/support_misc.h"
#include "gui/accessibility.h"
#include "gui/circle.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QScreen>
#include <QStyle>

#include <algorithm>
#include <cmath>

namespace {

const char* const background_style =
    "QMainWindow { border-image:url(\"://resources/background.jpg\") 0 0 0 0 stretch stretch; }";
const char* const white_label_style =
    "QLabel { background-color : rgba(0,0,0,0%); color : rgba(175,175,175,100%); }";
const char* const black_label_style = "QLabel { background-color : rgba(0,0,0,0%); color : black; }";

// The background picture's size, in which every design value is given.
const QSize design_size(665, 517);
const QRect design_button_rect(207, 417, 250, 40);
const int design_downward_shift = 50;
const int design_revision_label_width = 228;

int rounded(double value) {
    return static_cast<int>(std::lround(value));
}
int truncated(double value) {
    return static_cast<int>(value);
}

double screen_scale() {
    if (support_misc::compiled_for_platform() == support_misc::Platform::macOS)
        return 1.0;
    return QGuiApplication::primaryScreen()->logicalDotsPerInchX() / 96.0;
}

// Computed once, on the first label with a pixel size.
double label_font_scale() {
    static double factor = 0.0;
    if (factor == 0.0) {
        factor = QGuiApplication::primaryScreen()->physicalDotsPerInch() / 110.0;
        if (support_misc::compiled_for_platform(support_misc::Platform::windows))
            factor *= 1.3;
    }
    return factor;
}

QString label_text(Settings::LabelData const& entry, Settings::Settings const& settings) {
    if (entry.id == "2")
        return QString(entry.text).arg(Device::ProductInfo{settings.desired_FW_type}.product_name_full());
    if (entry.id == "4")
        return QString(entry.text).arg(settings.desired_FW_revision);
    return entry.text;
}

Qt::Alignment label_alignment(QString const& id, Qt::Alignment current) {
    if (id == "2" || id == "3")
        return Qt::AlignLeft | Qt::AlignTop;
    if (id == "4" || id == "4_hdr")
        return Qt::AlignRight | Qt::AlignTop;
    return current;
}

// The size is measured on the text as written, markup and line breaks included.
QSize label_size(QLabel const* label, QString const& id, double scale) {
    QFontMetrics const metrics(label->font());
    QString const text = label->text();
    int width = metrics.horizontalAdvance(text);
    int const lines = text.count('\n') + 1;
    if (id == "4" || id == "4_hdr") {
        width = truncated(design_revision_label_width * scale);
        qInfo() << "Overriding width to " << width << "for text:" << text;
    }
    // A rich text in a larger font can need more room than its source lines, as a product name with a
    // line break does; the label is never made smaller than that, so no text is clipped.
    int const height = std::max(metrics.height() * lines, label->sizeHint().height());
    return {width, height};
}

void add_label(Settings::LabelData const& entry, Settings::Settings const& settings, MainWindow* window) {
    auto* label = new QLabel(window);
    if (entry.id == "status_noDev") {
        window->statusLabel = label;
        accessibility::make_announcing(label, accessibility::Order::status);
    }
    label->setText(label_text(entry, settings));
    label->setAccessibleName(accessibility::plain_words(label->text()));
    label->setAlignment(label_alignment(entry.id, label->alignment()));
    if (!entry.font.isEmpty())
        label->setFont(QFont(entry.font));
    if (entry.size > 0) {
        QFont font = label->font();
        font.setPixelSize(truncated(entry.size * label_font_scale()));
        label->setFont(font);
    }
    label->resize(label_size(label, entry.id, window->scale));
    label->setStyleSheet(entry.white ? white_label_style : black_label_style);
    if (entry.x > 0 && entry.y > 0)
        label->move(rounded(entry.x * window->scale), rounded(entry.y * window->scale));
    label->show();
}

bool is_shown(Settings::LabelData const& entry, MainWindow* window, bool simulator) {
    if (!entry.create) {
        if (entry.id == "8b2" && window->installButton) {
            window->installButton->setText(entry.text);
            return false;
        }
        if (!(entry.id == "sim_mode" && simulator))
            return false;
    }
    return !entry.text.isEmpty();
}

std::vector<Settings::CircleData> scaled_circles(std::vector<Settings::CircleData> circles, double scale) {
    for (Settings::CircleData& circle : circles) {
        circle.center = QPoint(rounded(circle.center.x() * scale), rounded(circle.center.y() * scale));
        circle.radius = truncated(circle.radius * scale);
        circle.pen_width = truncated(circle.pen_width * scale);
    }
    return circles;
}

} // namespace

InstallButton::InstallButton(QWidget* parent) : QPushButton(parent) {
    setFlat(false);
    setEnabled(true);
    setMinimumHeight(30);
    setObjectName("GUI_8");
    connect(
        this, &QPushButton::clicked, this, [] { qInfo() << "Install clicked"; }, Qt::DirectConnection);
}

MainWindow::MainWindow(Settings::Settings const*, QWidget* parent)
    : QMainWindow(parent), central(new QWidget(this)) {
    setStyleSheet(background_style);
    scale = screen_scale();
    setCentralWidget(central);
    setupGeometry();
    downloadMode = false;
    emit downloadModeChanged();
    connect(this, &MainWindow::downloadModeChanged, this, &MainWindow::updateDownloadMode);
}

void MainWindow::setupGeometry() {
    QRect const screen = QGuiApplication::primaryScreen()->geometry();
    setFixedSize(truncated(design_size.width() * scale), truncated(design_size.height() * scale));
    QSize const size(rounded(design_size.width() * scale), rounded(design_size.height() * scale));
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, screen));
    move(pos() + QPoint(0, rounded(design_downward_shift * scale)));
    QRect const button(truncated(design_button_rect.x() * scale), truncated(design_button_rect.y() * scale),
                       truncated(design_button_rect.width() * scale),
                       truncated(design_button_rect.height() * scale));
    if (installButton)
        installButton->setGeometry(button);
    if (progressBar) {
        progressBar->setGeometry(button);
        progressBar->hide();
    }
}

void MainWindow::enableDownload() {
    downloadMode = true;
    emit downloadModeChanged();
}

void MainWindow::disableDownload() {
    downloadMode = false;
    emit downloadModeChanged();
}

void MainWindow::toggleDownload() {
    downloadMode = !downloadMode;
    emit downloadModeChanged();
}

void MainWindow::updateDownloadMode() {
    if (installButton) {
        qInfo() << "MainWindow downloadMode: setEnabled" << downloadMode;
        applyDownloadMode();
    }
    qInfo() << "Download " << (downloadMode ? "enabled" : "disabled");
}

// Under the bar the button is out of reach: no click, key or assistive technology starts a second write
// while one runs or its unit restarts. Where the upgrade is offered, the keyboard and a screen reader find
// the button at once; while the bar covers it, the bar holds the focus and tells the phase.
void MainWindow::applyDownloadMode() {
    if (!installButton)
        return;
    bool const covered = progressBar && !progressBar->isHidden();
    installButton->setEnabled(downloadMode && !covered);
    if (installButton->isEnabled())
        installButton->setFocus(Qt::OtherFocusReason);
    else if (covered && (!focusWidget() || focusWidget() == installButton))
        progressBar->setFocus(Qt::OtherFocusReason);
}

// Judged by the key alone, so Shift or Ctrl held by accident change nothing. Return, Enter and Space start
// the upgrade wherever the focus is, as a click on the enabled button would.
void MainWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (installButton && installButton->isEnabled() && !event->isAutoRepeat())
            installButton->click();
        break;
    case Qt::Key_A:
        toggleDownload();
        break;
    case Qt::Key_Q:
    case Qt::Key_Escape:
        emit finished();
        break;
    default:
        break;
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (isSignalConnected(QMetaMethod::fromSignal(&MainWindow::finished))) {
        event->ignore();
        emit finished();
        return;
    }
    QMainWindow::closeEvent(event);
}

void add_labels(Settings::Settings const* settings, MainWindow* window, bool simulator) {
    window->show();
    for (Settings::LabelData const& entry : settings->gui.labels)
        if (is_shown(entry, window, simulator))
            add_label(entry, *settings, window);
}

namespace {

// The hint is a panel over the top of the product picture, clear of the MODEL button that step 3 needs;
// it is hidden while there is nothing to add.
constexpr int design_hint_width = 380;
constexpr int design_hint_height = 122;
char const* const hint_style =
    "QLabel { background-color: rgba(18, 22, 28, 225); padding: 6px; border-radius: 6px; }";

QLabel* make_hint_label(Settings::Settings const* settings, MainWindow* window) {
    Settings::LabelData const* entry = settings->gui.label("hint");
    if (!entry) {
        return nullptr;
    }
    auto* label = new QLabel(window);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    accessibility::make_announcing(label, accessibility::Order::hint);
    label->setStyleSheet(hint_style);
    label->setGeometry(rounded(entry->x * window->scale), rounded(entry->y * window->scale),
                       rounded(design_hint_width * window->scale),
                       rounded(design_hint_height * window->scale));
    // Shown by the first hint: an empty panel would cover the picture for nothing.
    accessibility::show_part(label, false);
    return label;
}

// The status line and the hint are named by what they say (tell keeps that up to date); the button and the
// bar by what they are, with their own words as description.
void name_for_assistive_technologies(MainWindow* window) {
    window->installButton->setAccessibleName("Install the firmware");
    window->installButton->setAccessibleDescription(window->installButton->text());
    window->progressBar->setAccessibleName("Upgrade progress");
}

} // namespace

MainWindow* MainWindow_factory(Settings::Settings const* settings, QWidget* parent, bool simulator) {
    if (settings->gui.text("status_noDev").isEmpty())
        qFatal("No message with id '%s' found, aborting", "status_noDev");
    accessibility::install();
    auto* window = new MainWindow(settings, parent);
    window->installButton = new InstallButton(window);
    add_labels(settings, window, simulator);
    window->updateDownloadMode();
    window->progressBar = new ProgressBar(window);
    QObject::connect(window->progressBar, &ProgressBar::visibilityChanged, window,
                     &MainWindow::applyDownloadMode);
    window->setupGeometry();
    add_circles(scaled_circles(settings->gui.circles, window->scale), window);
    window->hintLabel = make_hint_label(settings, window);
    name_for_assistive_technologies(window);
    return window;
}
