#include "gui/settings.h"

#include <QJsonArray>
#include <QJsonDocument>

// The parts of the settings that need the graphics toolkit: the circles' colours and every text form that
// shows them. A run without a window reads only the texts (make_texts) and never loads the toolkit.
namespace Settings {

namespace {

QPoint read_point(QJsonObject const& object) {
    return {object.value("x").toInt(0), object.value("y").toInt(0)};
}

template <typename Entry, typename Factory>
std::vector<Entry> read_entries(QJsonObject const& top, QString const& key, Factory factory) {
    std::vector<Entry> entries;
    for (QJsonValue const& element : top.value(key).toArray())
        entries.push_back(factory(element.toObject()));
    return entries;
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
GUI::GUI(QString const& settings_text) {
    QJsonObject const top = QJsonDocument::fromJson(settings_text.toUtf8()).object();
    circles = read_entries<CircleData>(top, "circles", CircleData_factory);
    labels = read_entries<LabelData>(top, "labels", LabelData_factory);
    valid = true;
}

CircleData::operator QString() const {
    return QString("Circle '%1': (%2,%3), r=%4, w=%5, color=%6")
        .arg(name, QString::number(center.x()), QString::number(center.y()), QString::number(radius),
             QString::number(pen_width), color.name(QColor::HexArgb));
}

GUI::operator QString() const {
    QString result = "GUI settings:\n";
    if (!valid)
        return result + "\tInvalid";
    for (CircleData const& circle : circles)
        result += "\t" + QString(circle) + "\n";
    for (LabelData const& label : labels)
        result += "\t" + QString(label) + "\n";
    return result;
}

GUI make_GUI(QString const& path) {
    return GUI(load_settings_file(path));
}

QDebug operator<<(QDebug dbg, CircleData const& circle) {
    return dbg << QString(circle);
}

QDebug operator<<(QDebug dbg, GUI const& gui) {
    QDebugStateSaver saver(dbg);
    dbg.noquote() << QString(gui);
    return dbg;
}

} // namespace Settings
