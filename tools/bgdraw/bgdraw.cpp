// Draws the main window's 665 x 517 background: a calm dark area for the instructions on the left, the
// product's front panel on the right with its left "MODEL" button centred at (298, 290), and a light
// strip at the bottom for the status line.

#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

namespace {

QPointF const model_button(298, 290);
QRectF const body(262, 160, 380, 232);
int const strip_top = 470;

QFont panel_font(QString const& family, double pixel_size, bool bold, double letter_spacing = 0) {
    QFont font(family);
    font.setPixelSize(qRound(pixel_size));
    font.setBold(bold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, letter_spacing);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

void draw_backdrop(QPainter& p) {
    QLinearGradient sky(0, 0, 0, strip_top);
    sky.setColorAt(0, QColor(0x25, 0x2c, 0x36));
    sky.setColorAt(1, QColor(0x14, 0x18, 0x1e));
    p.fillRect(QRect(0, 0, 665, strip_top), sky);

    QRadialGradient glow(QPointF(452, 280), 300);
    glow.setColorAt(0, QColor(90, 120, 150, 70));
    glow.setColorAt(1, QColor(90, 120, 150, 0));
    p.fillRect(QRect(0, 0, 665, strip_top), glow);

    QLinearGradient strip(0, strip_top, 0, 517);
    strip.setColorAt(0, QColor(0xee, 0xf0, 0xf3));
    strip.setColorAt(1, QColor(0xdc, 0xe0, 0xe5));
    p.fillRect(QRect(0, strip_top, 665, 517 - strip_top), strip);
    p.fillRect(QRect(0, strip_top, 665, 2), QColor(0x3d, 0x8b, 0xd0));
}

void draw_body(QPainter& p) {
    QRadialGradient shadow(QPointF(body.center().x(), body.bottom() + 8), body.width() / 2);
    shadow.setColorAt(0, QColor(0, 0, 0, 150));
    shadow.setColorAt(1, QColor(0, 0, 0, 0));
    p.save();
    p.translate(0, body.bottom() + 8);
    p.scale(1, 0.09);
    p.translate(0, -(body.bottom() + 8));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(QPointF(body.center().x(), body.bottom() + 8), body.width() / 2, body.width() / 2);
    p.restore();

    QLinearGradient metal(0, body.top(), 0, body.bottom());
    metal.setColorAt(0, QColor(0xe4, 0xe7, 0xeb));
    metal.setColorAt(0.5, QColor(0xc9, 0xce, 0xd4));
    metal.setColorAt(1, QColor(0xa9, 0xb0, 0xb8));
    p.setPen(QPen(QColor(0x5d, 0x64, 0x6d), 1.2));
    p.setBrush(metal);
    p.drawRoundedRect(body, 14, 14);
    p.setPen(QPen(QColor(255, 255, 255, 160), 1));
    p.drawLine(QPointF(body.left() + 14, body.top() + 1.5), QPointF(body.right() - 14, body.top() + 1.5));

    QRectF const panel = body.adjusted(10, 10, -10, -10);
    p.setPen(QPen(QColor(0x8d, 0x94, 0x9c), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(panel, 8, 8);
}

void draw_brand(QPainter& p, QString const& family) {
    p.setPen(QColor(0x2a, 0x2f, 0x35));
    p.setFont(panel_font(family, 19, true, 3));
    p.drawText(QPointF(body.left() + 24, body.top() + 40), "ZENTOVA");
    p.setPen(QColor(0x55, 0x5c, 0x65));
    p.setFont(panel_font(family, 11, false, 1.5));
    p.drawText(QPointF(body.left() + 25, body.top() + 57), "F20 PLUS");
}

void draw_display(QPainter& p, QString const& family) {
    QRectF const bezel(body.right() - 178, body.top() + 20, 156, 62);
    p.setPen(QPen(QColor(0x4a, 0x50, 0x58), 1));
    p.setBrush(QColor(0x1b, 0x1f, 0x24));
    p.drawRoundedRect(bezel, 5, 5);
    QRectF const screen = bezel.adjusted(6, 6, -6, -6);
    QLinearGradient lcd(0, screen.top(), 0, screen.bottom());
    lcd.setColorAt(0, QColor(0x12, 0x3a, 0x52));
    lcd.setColorAt(1, QColor(0x0b, 0x25, 0x36));
    p.setPen(Qt::NoPen);
    p.setBrush(lcd);
    p.drawRoundedRect(screen, 3, 3);
    p.setPen(QColor(0x8f, 0xd8, 0xff));
    p.setFont(panel_font(family, 12, true, 1));
    p.drawText(screen.adjusted(8, 5, -8, -5), Qt::AlignLeft | Qt::AlignTop, "A  MODEL 03");
    p.setFont(panel_font(family, 12, false, 1));
    p.drawText(screen.adjusted(8, 5, -8, -5), Qt::AlignLeft | Qt::AlignBottom, "B  MODEL 11");
}

void draw_button(QPainter& p, QPointF centre, QString const& label, QString const& family) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x7c, 0x84, 0x8d));
    p.drawEllipse(centre, 13.5, 13.5);
    QRadialGradient cap(centre - QPointF(3, 4), 14);
    cap.setColorAt(0, QColor(0x5a, 0x61, 0x6a));
    cap.setColorAt(1, QColor(0x26, 0x2a, 0x30));
    p.setBrush(cap);
    p.drawEllipse(centre, 11, 11);
    p.setPen(QColor(0x2a, 0x2f, 0x35));
    p.setFont(panel_font(family, 9, true, 1));
    p.drawText(QRectF(centre.x() - 30, centre.y() + 22, 60, 12), Qt::AlignCenter, label);
}

void draw_knob(QPainter& p, QPointF centre, double angle_deg, QString const& label, QString const& family) {
    p.setPen(QPen(QColor(0x6b, 0x72, 0x7b), 1.4));
    for (int i = 0; i <= 10; ++i) {
        p.save();
        p.translate(centre);
        p.rotate(-135 + 27 * i);
        p.drawLine(QPointF(0, -24), QPointF(0, -27));
        p.restore();
    }
    QRadialGradient grip(centre - QPointF(5, 6), 24);
    grip.setColorAt(0, QColor(0x4f, 0x56, 0x5e));
    grip.setColorAt(1, QColor(0x17, 0x1a, 0x1e));
    p.setPen(QPen(QColor(0x10, 0x12, 0x15), 1));
    p.setBrush(grip);
    p.drawEllipse(centre, 19, 19);
    p.save();
    p.translate(centre);
    p.rotate(angle_deg);
    p.setPen(QPen(QColor(0xf2, 0xf4, 0xf6), 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(0, -7), QPointF(0, -16));
    p.restore();
    p.setPen(QColor(0x2a, 0x2f, 0x35));
    p.setFont(panel_font(family, 9, true, 1));
    p.drawText(QRectF(centre.x() - 30, centre.y() + 28, 60, 12), Qt::AlignCenter, label);
}

void draw_led(QPainter& p, QPointF centre, QColor colour) {
    QRadialGradient light(centre, 7);
    light.setColorAt(0, colour);
    light.setColorAt(0.45, colour.darker(130));
    light.setColorAt(1, QColor(colour.red(), colour.green(), colour.blue(), 0));
    p.setPen(Qt::NoPen);
    p.setBrush(light);
    p.drawEllipse(centre, 7, 7);
}

void draw_channel(QPainter& p, double button_x, QString const& name, QString const& family) {
    double const y = model_button.y();
    p.setPen(QColor(0x55, 0x5c, 0x65));
    p.setFont(panel_font(family, 9, true, 1.5));
    p.drawText(QRectF(button_x - 16, y - 44, 120, 12), Qt::AlignLeft | Qt::AlignVCenter, name);
    draw_led(p, QPointF(button_x, y - 22), QColor(0x4c, 0xe0, 0x7a));
    draw_button(p, QPointF(button_x, y), "MODEL", family);
    draw_knob(p, QPointF(button_x + 58, y), 35, "LEVEL", family);
}

void draw_port(QPainter& p, QRectF hole, bool round, QString const& label, QString const& family) {
    p.setPen(QPen(QColor(0x6b, 0x72, 0x7b), 1));
    p.setBrush(QColor(0x9aa1a9));
    QRectF const rim = hole.adjusted(-3, -3, 3, 3);
    round ? p.drawEllipse(rim) : p.drawRoundedRect(rim, 3, 3);
    p.setBrush(QColor(0x14, 0x16, 0x19));
    round ? p.drawEllipse(hole) : p.drawRoundedRect(hole, 2, 2);
    p.setPen(QColor(0x2a, 0x2f, 0x35));
    p.setFont(panel_font(family, 8, true, 1));
    p.drawText(QRectF(hole.center().x() - 30, hole.top() - 15, 60, 11), Qt::AlignCenter, label);
}

void draw_ports(QPainter& p, QString const& family) {
    double const y = body.bottom() - 33;
    draw_port(p, QRectF(body.left() + 30, y, 14, 14), true, "IN A", family);
    draw_port(p, QRectF(body.left() + 82, y, 14, 14), true, "IN B", family);
    draw_port(p, QRectF(body.left() + 134, y, 14, 14), true, "OUT", family);
    QRectF const usb(body.right() - 128, y - 1, 16, 16);
    draw_port(p, usb, false, "USB", family);
    p.setBrush(QColor(0x9a, 0xa1, 0xa9));
    p.setPen(Qt::NoPen);
    p.drawRect(usb.adjusted(5, 5, -5, -3));
    draw_port(p, QRectF(body.right() - 70, y, 14, 14), true, "POWER", family);
    p.setBrush(QColor(0x9a, 0xa1, 0xa9));
    p.drawEllipse(QPointF(body.right() - 63, y + 7), 2.5, 2.5);
}

QImage draw_background(QString const& family) {
    QImage image(665, 517, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    draw_backdrop(p);
    draw_body(p);
    draw_brand(p, family);
    draw_display(p, family);
    draw_channel(p, model_button.x(), "CHANNEL A", family);
    p.setPen(QPen(QColor(0x8d, 0x94, 0x9c), 1));
    p.drawLine(QPointF(model_button.x() + 104, model_button.y() - 50),
               QPointF(model_button.x() + 104, model_button.y() + 44));
    draw_channel(p, model_button.x() + 134, "CHANNEL B", family);
    draw_ports(p, family);
    return image;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 4) {
        err << "usage: bgdraw OUTPUT.jpg REGULAR.otf BOLD.otf\n";
        return 2;
    }
    int const font_id = QFontDatabase::addApplicationFont(argv[2]);
    if (font_id < 0 || QFontDatabase::addApplicationFont(argv[3]) < 0) {
        err << "bgdraw: cannot load the fonts " << argv[2] << " and " << argv[3] << "\n";
        return 1;
    }
    QString const family = QFontDatabase::applicationFontFamilies(font_id).value(0);
    if (!draw_background(family).save(argv[1], "JPG", 92)) {
        err << "bgdraw: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
