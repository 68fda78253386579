#include "gui/window_settings.h"

#include <QJsonArray>
#include <QJsonDocument>

// The parts of the settings that need the graphics toolkit: the circles' colours and every text form that
// shows them. A run without a window reads only the texts (make_texts) and never loads the toolkit.
namespace Settings {

namespace {

QPoint read_point(QJsonObject const& object) {
    return {object.value("x").toInt(0), object.value("y").toInt(0)};
}

} // namespace

CircleData CircleData_factory(QJsonObject const& object) {
    CircleData circle;
    circle.name = object.value("name").toString();
    circle.center = read_point(object.value("center").toObject());
    circle.radius = object.value("radius").toInt(0);
    circle.pen_width = object.value("pen_width").toInt(0);
    circle.color.setNamedColor(object.value("color").toString());
    return circle;
}

// Qt's JSON parser keeps raw line breaks inside strings, which the shipped rich texts rely on.
GUI parse_GUI(QString const& settings_text) {
    QJsonObject const top = QJsonDocument::fromJson(settings_text.toUtf8()).object();
    GUI gui;
    for (QJsonValue const& element : top.value("circles").toArray())
        gui.circles.push_back(CircleData_factory(element.toObject()));
    gui.labels = labels_of(top);
    gui.valid = true;
    return gui;
}

QString text_of(CircleData const& circle) {
    return QString("Circle '%1': (%2,%3), r=%4, w=%5, color=%6")
        .arg(circle.name, QString::number(circle.center.x()), QString::number(circle.center.y()),
             QString::number(circle.radius), QString::number(circle.pen_width),
             circle.color.name(QColor::HexArgb));
}

QString text_of(GUI const& gui) {
    QString result = "GUI settings:\n";
    if (!gui.valid)
        return result + "\tInvalid";
    for (CircleData const& circle : gui.circles)
        result += "\t" + text_of(circle) + "\n";
    for (LabelData const& label : gui.labels)
        result += "\t" + QString(label) + "\n";
    return result;
}

GUI make_GUI(QString const& path) {
    return parse_GUI(load_settings_file(path));
}

QDebug operator<<(QDebug dbg, CircleData const& circle) {
    return dbg << text_of(circle);
}

QDebug operator<<(QDebug dbg, GUI const& gui) {
    QDebugStateSaver saver(dbg);
    dbg.noquote() << text_of(gui);
    return dbg;
}

} // namespace Settings
