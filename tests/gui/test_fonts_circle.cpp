#include "gui/circle.h"
#include "gui/fonts.h"

#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QtTest>

namespace {

const QString system_font = "/usr/share/fonts/opentype/freefont/FreeSans.otf";

QImage render(Circle& circle) {
    QImage image(circle.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    circle.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

} // namespace

class TestFontsCircle : public QObject {
    Q_OBJECT

private slots:
    void load_font_names_the_family_or_warns();
    void setup_fonts_makes_the_embedded_family_the_default();
    void circle_geometry_follows_centre_and_radius();
    void circle_paints_a_ring_inset_by_half_the_pen_data();
    void circle_paints_a_ring_inset_by_half_the_pen();
    void add_circles_creates_one_shown_ring_per_entry();
};

void TestFontsCircle::load_font_names_the_family_or_warns() {
    QCOMPARE(support::load_font(system_font), QString("FreeSans"));
    QString const missing = "/no/such/font.otf";
    QTest::ignoreMessage(QtWarningMsg, "Unable to load font from  \"/no/such/font.otf\"");
    QVERIFY(support::load_font(missing).isEmpty());
}

void TestFontsCircle::setup_fonts_makes_the_embedded_family_the_default() {
    QFont const before = QApplication::font();
    support::set_default_font(QString());
    QCOMPARE(QApplication::font(), before);

    QString const family = support::load_zentova_fonts();
    QVERIFY(!family.isEmpty());
    QCOMPARE(support::load_zentova_fonts(), family);
    QTest::ignoreMessage(QtInfoMsg, qPrintable(QString("Load/set default font: \"%1\"").arg(family)));
    support::setup_fonts();
    QCOMPARE(support::zentova_font_name, family);
    QCOMPARE(QApplication::font().family(), family);
    QCOMPARE(QApplication::font().pointSize(), 11);
    QCOMPARE(QFontInfo(QApplication::font()).family(), family);
    QFont bold(family, 11);
    bold.setBold(true);
    QCOMPARE(QFontInfo(bold).family(), family);
    QVERIFY(QFontInfo(bold).bold());
}

void TestFontsCircle::circle_geometry_follows_centre_and_radius() {
    QWidget parent;
    Circle circle({QPoint(298, 290), 20, 5, QColor(0xFF, 0x40, 0x40, 0x60)}, &parent);
    QCOMPARE(circle.geometry(), QRect(278, 270, 40, 40));
    circle.setCenter(QPoint(298, 290));
    QCOMPARE(circle.geometry(), QRect(278, 270, 40, 40));
    circle.setCenter(QPoint(100, 50));
    QCOMPARE(circle.geometry(), QRect(80, 30, 40, 40));
    QCOMPARE(circle.minimumSize(), circle.maximumSize());
}

void TestFontsCircle::circle_paints_a_ring_inset_by_half_the_pen_data() {
    QTest::addColumn<int>("pen_width");
    QTest::addColumn<int>("outer_x");
    QTest::newRow("pen 5 draws from x 0 to 4") << 5 << 1;
    QTest::newRow("pen 1 draws at the edge") << 1 << 0;
}

void TestFontsCircle::circle_paints_a_ring_inset_by_half_the_pen() {
    QFETCH(int, pen_width);
    QFETCH(int, outer_x);
    Circle circle({QPoint(20, 20), 20, pen_width, QColor(0, 0, 255)}, nullptr);
    QImage const image = render(circle);
    QVERIFY(qAlpha(image.pixel(outer_x, 20)) > 100);
    QVERIFY(qBlue(image.pixel(outer_x, 20)) > 100);
    QCOMPARE(qAlpha(image.pixel(20, 20)), 0);
    QCOMPARE(qAlpha(image.pixel(pen_width + 3, 20)), 0);
    QCOMPARE(qAlpha(image.pixel(1, 1)), 0);
}

void TestFontsCircle::add_circles_creates_one_shown_ring_per_entry() {
    QWidget parent;
    parent.show();
    add_circles(std::vector<Circle::Data>(), &parent);
    QVERIFY(parent.findChildren<Circle*>().isEmpty());

    Settings::CircleData entry;
    entry.name = "Head-button";
    entry.center = QPoint(50, 60);
    entry.radius = 10;
    entry.pen_width = 2;
    entry.color = QColor("#60FF4040");
    add_circles(std::vector<Settings::CircleData>{entry, entry}, &parent);
    auto const rings = parent.findChildren<Circle*>();
    QCOMPARE(rings.size(), 2);
    for (Circle* ring : rings) {
        QCOMPARE(ring->geometry(), QRect(40, 50, 20, 20));
        QVERIFY(ring->isVisible());
    }
}

QTEST_MAIN(TestFontsCircle)
#include "test_fonts_circle.moc"
