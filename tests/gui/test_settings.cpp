#include "gui/window_settings.h"

#include "test_config.h"

#include <QtTest>

using Settings::GUI;

namespace {

const QString shipped_settings = TEST_SOURCE_DIR "/software/resources/settings_GUI.json";

GUI parse(QString const& json) {
    return Settings::parse_GUI(json);
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void shipped_file_holds_the_no_device_text_and_unique_ids();
    void label_entries_data();
    void label_entries();
    void circle_entries_data();
    void circle_entries();
    void lookup_returns_first_match_and_warns_on_unknown_id();
    void unparsable_or_empty_text_gives_valid_record_without_entries();
    void missing_file_passes_the_loader_error_on();
};

// Start-up ends when the no-device text is missing, and a lookup finds only the first of two equal ids.
void TestSettings::shipped_file_holds_the_no_device_text_and_unique_ids() {
    GUI const gui = Settings::make_GUI(shipped_settings);
    QVERIFY(gui.valid);
    QVERIFY(
        gui.text("status_noDev").contains("The USB cable must have a 'Type B' plug and a 'Type A' plug."));
    QStringList ids;
    for (auto const& label : gui.labels)
        ids << label.id;
    QCOMPARE(ids.removeDuplicates(), 0);
    QCOMPARE(gui.circles.size(), std::size_t(1));
}

void TestSettings::label_entries_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("form");
    QTest::newRow("empty object, all defaults") << "{}"
                                                << "Label '': (-1,-1) {} font='':-1: ''";
    QTest::newRow("every key") << R"({"id":"x","position":{"x":3,"y":4},"size":12,"font":"Serif",
        "create":false,"white":false,"text":"hi %1"})"
                               << "Label 'x': (3,4) {not-white no-create} font='Serif':12: 'hi %1'";
    QTest::newRow("position with x only") << R"({"id":"p","position":{"x":7}})"
                                          << "Label 'p': (7,-1) {} font='':-1: ''";
    QTest::newRow("not white only") << R"({"white":false})"
                                    << "Label '': (-1,-1) {not-white} font='':-1: ''";
    QTest::newRow("fractional number reads 0") << R"({"size":12.5,"position":{"x":1.5,"y":2}})"
                                               << "Label '': (0,2) {} font='':0: ''";
    QTest::newRow("wrong types") << R"({"id":5,"create":"yes","white":1,"text":true,"size":"9"})"
                                 << "Label '': (-1,-1) {not-white no-create} font='':0: ''";
}

void TestSettings::label_entries() {
    QFETCH(QString, entry);
    QFETCH(QString, form);
    GUI const gui = parse(QString(R"({"labels":[%1]})").arg(entry));
    QCOMPARE(gui.labels.size(), std::size_t(1));
    QCOMPARE(QString(gui.labels[0]), form);
}

void TestSettings::circle_entries_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("color_valid");
    QTest::newRow("shipped ring") << R"({"name":"R","center":{"x":298,"y":290},"radius":20,"pen_width":5,
        "color":"#60FF4040"})"
                                  << "Circle 'R': (298,290), r=20, w=5, color=#60ff4040" << true;
    QTest::newRow("six digit colour is opaque") << R"({"color":"#102030"})"
                                                << "Circle '': (0,0), r=0, w=0, color=#ff102030" << true;
    QTest::newRow("colour keyword") << R"({"color":"red"})"
                                    << "Circle '': (0,0), r=0, w=0, color=#ffff0000" << true;
    QTest::newRow("no colour, no centre") << R"({"radius":3})"
                                          << "Circle '': (0,0), r=3, w=0, color=#ff000000" << false;
    QTest::newRow("fractional radius reads 0") << R"({"radius":20.5,"pen_width":2})"
                                               << "Circle '': (0,0), r=0, w=2, color=#ff000000" << false;
    QTest::newRow("element not an object") << "7"
                                           << "Circle '': (0,0), r=0, w=0, color=#ff000000" << false;
}

void TestSettings::circle_entries() {
    QFETCH(QString, entry);
    QFETCH(QString, form);
    QFETCH(bool, color_valid);
    GUI const gui = parse(QString(R"({"circles":[%1]})").arg(entry));
    QCOMPARE(gui.circles.size(), std::size_t(1));
    QCOMPARE(Settings::text_of(gui.circles[0]), form);
    QCOMPARE(gui.circles[0].color.isValid(), color_valid);
}

void TestSettings::lookup_returns_first_match_and_warns_on_unknown_id() {
    GUI const gui = parse(R"({"labels":[{"id":"a","text":"first"},{"id":"a","text":"second"},{"id":"A"}]})");
    QCOMPARE(gui.label("a"), &gui.labels[0]);
    QCOMPARE(gui.text("a"), QString("first"));
    QCOMPARE(gui.label("A"), &gui.labels[2]);

    QTest::ignoreMessage(QtWarningMsg, "No matching label with id \"b\" found");
    QCOMPARE(gui.label("b"), nullptr);
    QTest::ignoreMessage(QtWarningMsg, "No matching label with id \"status_noDev\" found");
    QVERIFY(gui.text("status_noDev").isEmpty());
}

void TestSettings::unparsable_or_empty_text_gives_valid_record_without_entries() {
    for (QString const& text : {QString("{ not json"), QString("[1,2]"),
                                QString(R"({"labels":[],"circles":{}})"), QString(R"({"labels":"x"})")}) {
        GUI const gui = parse(text);
        QVERIFY2(gui.valid, qPrintable(text));
        QVERIFY2(gui.labels.empty() && gui.circles.empty(), qPrintable(text));
    }
    QTest::ignoreMessage(QtWarningMsg, "No matching label with id \"status_noDev\" found");
    QVERIFY(parse(R"({"labels":[]})").text("status_noDev").isEmpty());
}

void TestSettings::missing_file_passes_the_loader_error_on() {
    QString const path = TEST_SOURCE_DIR "/no/such/settings.json";
    try {
        Settings::make_GUI(path);
        QFAIL("no error raised");
    } catch (QString const& error) {
        QCOMPARE(error, "Couldn't open file: " + path);
    }
}

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
