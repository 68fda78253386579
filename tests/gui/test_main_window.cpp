#include "gui/circle.h"
#include "gui/main_window.h"
#include "gui/window_settings.h"

#include "test_config.h"

#include <QApplication>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

// Built twice: at the desktop's 96 dpi (scale 1.0) and at 120 dpi (scale 1.25).
namespace {

struct Expected {
    double scale;
    QSize window;
    QRect button;
    QRect ring;
    int ring_pen;
    QPoint label_2;
    int label_4_width;
};

Expected expected() {
    if (TEST_FONT_DPI == 120)
        return {1.25, {831, 646}, {258, 521, 312, 50}, {348, 338, 50, 50}, 6, {46, 40}, 285};
    return {1.0, {665, 517}, {207, 417, 250, 40}, {278, 270, 40, 40}, 5, {37, 32}, 228};
}

Settings::Settings shipped_settings() {
    Settings::Settings settings;
    settings.gui = Settings::make_GUI(TEST_SOURCE_DIR "/software/resources/settings_GUI.json");
    settings.desired_FW_type = Device::Type::TOLV;
    settings.desired_FW_revision = "1.2.3";
    return settings;
}

Settings::Settings edited_settings(QString const& labels) {
    Settings::Settings settings;
    settings.gui =
        Settings::parse_GUI(QString(R"({"labels":[{"id":"status_noDev","text":"no device"},%1]})").arg(labels));
    return settings;
}

// The labels of the settings file; the hint label holds no text of its own.
QList<QLabel*> labels_of(MainWindow const* window) {
    QList<QLabel*> labels = window->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    labels.removeOne(window->hintLabel);
    return labels;
}

QLabel* label_with_text(MainWindow const* window, QString const& text) {
    for (QLabel* label : labels_of(window))
        if (label->text() == text)
            return label;
    return nullptr;
}

std::unique_ptr<MainWindow> build(Settings::Settings const& settings, bool simulator = false) {
    return std::unique_ptr<MainWindow>(MainWindow_factory(&settings, nullptr, simulator));
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void geometry_is_design_pixels_times_scale();
    void labels_from_the_shipped_settings_data();
    void labels_from_the_shipped_settings();
    void status_label_holds_two_lines();
    void product_name_with_line_break_is_not_clipped();
    void labels_from_edited_settings();
    void label_font_family_and_pixel_size();
    void missing_no_device_text_ends_the_program();
    void keys_data();
    void keys();
    void download_mode_switches_the_install_button();
};

void TestMainWindow::geometry_is_design_pixels_times_scale() {
    Expected const e = expected();
    Settings::Settings const settings = shipped_settings();
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QString("^Overriding width to  %1 for text: "
                                                    "\"<span.*Firmware version:.*1\\.2\\.3</span>\"$")
                                                .arg(e.label_4_width)));
    auto window = build(settings);
    QCOMPARE(window->scale, e.scale);
    QCOMPARE(window->minimumSize(), e.window);
    QCOMPARE(window->maximumSize(), e.window);
    QCOMPARE(window->size(), e.window);
    QRect const screen = QGuiApplication::primaryScreen()->geometry();
    // The test platform draws a 2-pixel frame, which may shift the client area by that much.
    int const centred_left = (screen.width() - e.window.width()) / 2;
    int const shifted_top = (screen.height() - e.window.height()) / 2 + qRound(50 * e.scale);
    QVERIFY2(qAbs(window->geometry().left() - centred_left) <= 2, qPrintable(QString::number(window->x())));
    QVERIFY2(qAbs(window->geometry().top() - shifted_top) <= 2, qPrintable(QString::number(window->y())));

    QCOMPARE(window->installButton->geometry(), e.button);
    QCOMPARE(window->progressBar->geometry(), e.button);
    QVERIFY(window->installButton->isVisible());
    QVERIFY(!window->progressBar->isVisible());

    auto const rings = window->findChildren<Circle*>();
    QCOMPARE(rings.size(), 1);
    QCOMPARE(rings[0]->geometry(), e.ring);
    QCOMPARE(rings[0]->data.pen_width, e.ring_pen);
    QCOMPARE(rings[0]->data.color, QColor(0xFF, 0x40, 0x40, 0x60));

    QLabel* const label_2 = label_with_text(window.get(), QString(settings.gui.text("2")).arg("Zentova M3Z"));
    QVERIFY(label_2);
    QCOMPARE(label_2->pos(), e.label_2);
    QLabel* const label_4 = label_with_text(window.get(), QString(settings.gui.text("4")).arg("1.2.3"));
    QVERIFY(label_4);
    QCOMPARE(label_4->width(), e.label_4_width);
    QCOMPARE(label_4->alignment(), Qt::AlignRight | Qt::AlignTop);
    QCOMPARE(label_2->alignment(), Qt::AlignLeft | Qt::AlignTop);
    QCOMPARE(label_2->height(), QFontMetrics(label_2->font()).height() * 5);

    window->setupGeometry();
    QCOMPARE(window->size(), e.window);
    QCOMPARE(window->installButton->geometry(), e.button);
}

void TestMainWindow::labels_from_the_shipped_settings_data() {
    QTest::addColumn<bool>("simulator");
    QTest::newRow("real device") << false;
    QTest::newRow("simulator") << true;
}

void TestMainWindow::labels_from_the_shipped_settings() {
    QFETCH(bool, simulator);
    Settings::Settings const settings = shipped_settings();
    auto window = build(settings, simulator);
    QStringList expected_texts;
    for (QString id : {"2", "4", "5", "7a", "7b", "7c", "9", "status_noDev"})
        expected_texts << settings.gui.text(id);
    expected_texts[0] = expected_texts[0].arg("Zentova M3Z");
    expected_texts[1] = expected_texts[1].arg("1.2.3");
    if (simulator)
        expected_texts << "Simulator mode";
    QStringList texts;
    for (QLabel* label : labels_of(window.get()))
        texts << label->text();
    QCOMPARE(texts, expected_texts);
    QCOMPARE(window->installButton->text(), QString("5. Click here to start upgrade"));
    QCOMPARE(window->installButton->objectName(), QString("GUI_8"));
    QVERIFY(window->statusLabel);
    QCOMPARE(window->statusLabel->text(), settings.gui.text("status_noDev"));
    QCOMPARE(window->statusLabel->pos(),
             QPoint(qRound(37 * expected().scale), qRound(483 * expected().scale)));
    QVERIFY(!window->installButton->isEnabled());
    QLabel* const step = label_with_text(window.get(), "4. Connect USB cable");
    QCOMPARE(step->styleSheet(),
             QString("QLabel { background-color : rgba(0,0,0,0%); color : rgba(175,175,175,100%); }"));
    QVERIFY(step->isVisible());
    if (simulator)
        QCOMPARE(label_with_text(window.get(), "Simulator mode")->pos(),
                 QPoint(qRound(480 * expected().scale), qRound(407 * expected().scale)));
}

void TestMainWindow::status_label_holds_two_lines() {
    Settings::Settings const settings = shipped_settings();
    auto window = build(settings);
    QFontMetrics const metrics(window->statusLabel->font());
    QCOMPARE(window->statusLabel->height(), 2 * metrics.height());
    QVERIFY(window->statusLabel->heightForWidth(window->statusLabel->width()) <=
            window->statusLabel->height());
    QVERIFY(window->statusLabel->sizeHint().height() <= window->statusLabel->height());
}

void TestMainWindow::product_name_with_line_break_is_not_clipped() {
    Settings::Settings settings = shipped_settings();
    settings.desired_FW_type = Device::Type::SOLK;
    auto window = build(settings);
    QLabel* const title =
        label_with_text(window.get(), QString(settings.gui.text("2")).arg("Zentova F20 Plus<br>Zentova F20"));
    QVERIFY(title);
    QVERIFY(title->height() >= title->sizeHint().height());
    QVERIFY(title->height() >= QFontMetrics(title->font()).height() * 5);
}

void TestMainWindow::labels_from_edited_settings() {
    auto settings = edited_settings(R"({"id":"empty","text":"","position":{"x":5,"y":5}},
        {"id":"8b2","text":"button as label"},
        {"id":"sim_mode","text":"always","create":true},
        {"id":"zero","text":"at origin","position":{"x":0,"y":300},"white":false},
        {"id":"hidden","text":"never","create":false})");
    auto window = build(settings);
    QStringList texts;
    for (QLabel* label : labels_of(window.get()))
        texts << label->text();
    QCOMPARE(texts, QStringList({"no device", "button as label", "always", "at origin"}));
    QVERIFY(window->installButton->text().isEmpty());
    QLabel* const origin = label_with_text(window.get(), "at origin");
    QCOMPARE(origin->pos(), QPoint(0, 0));
    QCOMPARE(origin->styleSheet(), QString("QLabel { background-color : rgba(0,0,0,0%); color : black; }"));

    auto no_status_label = edited_settings(R"({"id":"x","text":"y"})");
    no_status_label.gui.labels[0].create = false;
    auto window_2 = build(no_status_label);
    QCOMPARE(window_2->statusLabel, nullptr);
}

void TestMainWindow::label_font_family_and_pixel_size() {
    auto settings = edited_settings(R"({"id":"big","text":"big","font":"FreeSans","size":20},
        {"id":"plain","text":"plain"})");
    auto window = build(settings);
    QLabel* const big = label_with_text(window.get(), "big");
    QLabel* const plain = label_with_text(window.get(), "plain");
    double const font_scale = QGuiApplication::primaryScreen()->physicalDotsPerInch() / 110.0;
    QCOMPARE(big->font().family(), QString("FreeSans"));
    QCOMPARE(big->font().pixelSize(), int(20 * font_scale));
    QCOMPARE(big->height(), QFontMetrics(big->font()).height());
    QCOMPARE(plain->font(), QApplication::font());
}

void TestMainWindow::missing_no_device_text_ends_the_program() {
    QProcess child;
    child.start(GUI_CHILD_PATH, {"no-status-text"});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QString const output = QString::fromLocal8Bit(child.readAllStandardError());
    QVERIFY2(output.contains("No message with id 'status_noDev' found, aborting"), qPrintable(output));
    QVERIFY(!output.contains("not reached"));
}

void TestMainWindow::keys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("toggles");
    QTest::addColumn<bool>("finishes");
    QTest::newRow("A") << int(Qt::Key_A) << int(Qt::NoModifier) << true << false;
    QTest::newRow("Shift+A") << int(Qt::Key_A) << int(Qt::ShiftModifier) << true << false;
    QTest::newRow("Ctrl+A") << int(Qt::Key_A) << int(Qt::ControlModifier) << true << false;
    QTest::newRow("Q") << int(Qt::Key_Q) << int(Qt::NoModifier) << false << true;
    QTest::newRow("Shift+Q") << int(Qt::Key_Q) << int(Qt::ShiftModifier) << false << true;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier) << false << true;
    QTest::newRow("B") << int(Qt::Key_B) << int(Qt::NoModifier) << false << false;
}

void TestMainWindow::keys() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, toggles);
    QFETCH(bool, finishes);
    Settings::Settings const settings = shipped_settings();
    auto window = build(settings);
    QSignalSpy finished(window.get(), &MainWindow::finished);
    QSignalSpy changed(window.get(), &MainWindow::downloadModeChanged);
    QTest::keyClick(window.get(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(window->downloadMode, toggles);
    QCOMPARE(window->installButton->isEnabled(), toggles);
    QCOMPARE(changed.count(), toggles ? 1 : 0);
    QCOMPARE(finished.count(), finishes ? 1 : 0);
    if (toggles) {
        QTest::keyClick(window.get(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QVERIFY(!window->installButton->isEnabled());
    }
}

void TestMainWindow::download_mode_switches_the_install_button() {
    Settings::Settings const settings = shipped_settings();
    auto window = build(settings);
    QTest::ignoreMessage(QtInfoMsg, "MainWindow downloadMode: setEnabled true");
    QTest::ignoreMessage(QtInfoMsg, "Download  enabled");
    window->enableDownload();
    QVERIFY(window->installButton->isEnabled());
    QTest::ignoreMessage(QtInfoMsg, "Install clicked");
    QTest::mouseClick(window->installButton, Qt::LeftButton);
    window->enableDownload();
    QVERIFY(window->installButton->isEnabled());
    window->toggleDownload();
    QVERIFY(!window->installButton->isEnabled());
    window->toggleDownload();
    window->disableDownload();
    QVERIFY(!window->downloadMode);
    QVERIFY(!window->installButton->isEnabled());
}

int main(int argc, char* argv[]) {
    qputenv("QT_FONT_DPI", QByteArray::number(TEST_FONT_DPI));
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_main_window.moc"
