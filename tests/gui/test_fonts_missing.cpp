// Built without the resource collections, so the embedded font files cannot be found.
#include "gui/fonts.h"

#include <QApplication>
#include <QtTest>

class TestFontsMissing : public QObject {
    Q_OBJECT

private slots:
    void missing_font_files_keep_the_toolkit_default();
};

void TestFontsMissing::missing_font_files_keep_the_toolkit_default() {
    QFont const before = QApplication::font();
    QTest::ignoreMessage(QtWarningMsg, "Unable to load font from  \":resources/ZentovaSans-Regular.otf\"");
    QTest::ignoreMessage(QtWarningMsg, "Unable to load font from  \":resources/ZentovaSans-Bold.otf\"");
    QTest::ignoreMessage(QtWarningMsg, "Unable to load/set the Zentova font as default");
    support::setup_fonts();
    QVERIFY(support::zentova_font_name.isEmpty());
    QCOMPARE(QApplication::font(), before);
    QVERIFY(support::load_zentova_fonts().isEmpty());
}

QTEST_MAIN(TestFontsMissing)
#include "test_fonts_missing.moc"
