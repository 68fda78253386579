#include "gui/settings.h"

#include "files/support_misc.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

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

LabelData LabelData_factory(QJsonObject const& object) {
    LabelData label;
    if (object.contains("id"))
        label.id = object.value("id").toString();
    if (object.contains("position")) {
        QJsonObject const position = object.value("position").toObject();
        if (position.contains("x"))
            label.x = position.value("x").toInt(0);
        if (position.contains("y"))
            label.y = position.value("y").toInt(0);
    }
    if (object.contains("size"))
        label.size = object.value("size").toInt(0);
    if (object.contains("font"))
        label.font = object.value("font").toString();
    if (object.contains("create"))
        label.create = object.value("create").toBool(false);
    if (object.contains("white"))
        label.white = object.value("white").toBool(false);
    if (object.contains("text"))
        label.text = object.value("text").toString();
    return label;
}

// Qt's JSON parser keeps raw line breaks inside strings, which the shipped rich texts rely on.
GUI::GUI(QString const& settings_text) {
    QJsonObject const top = QJsonDocument::fromJson(settings_text.toUtf8()).object();
    circles = read_entries<CircleData>(top, "circles", CircleData_factory);
    labels = read_entries<LabelData>(top, "labels", LabelData_factory);
    valid = true;
}

LabelData const* GUI::label(QString const& id) const {
    for (LabelData const& entry : labels)
        if (entry.id == id)
            return &entry;
    qWarning() << "No matching label with id" << id << "found";
    return nullptr;
}

bool GUI::contains(QString const& id) const {
    return std::any_of(labels.begin(), labels.end(),
                       [&id](LabelData const& entry) { return entry.id == id; });
}

QString GUI::text(QString const& id) const {
    LabelData const* entry = label(id);
    return entry ? entry->text : QString();
}

CircleData::operator QString() const {
    return QString("Circle '%1': (%2,%3), r=%4, w=%5, color=%6")
        .arg(name, QString::number(center.x()), QString::number(center.y()), QString::number(radius),
             QString::number(pen_width), color.name(QColor::HexArgb));
}

LabelData::operator QString() const {
    QString const not_white = white ? QString() : QString("not-white");
    QString const separator = (!white && !create) ? QString(" ") : QString();
    QString const no_create = create ? QString() : QString("no-create");
    return QString("Label '%1': (%2,%3) {%4%5%6} font='%7':%8: '%9'")
        .arg(id, QString::number(x), QString::number(y), not_white, separator, no_create, font,
             QString::number(size), text);
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

QString load_settings_file(QString const& path) {
    return support_misc::load_text_file(support_misc::maybe_use_file_instead_of_resource(path));
}

GUI make_GUI(QString const& path) {
    return GUI(load_settings_file(path));
}

QDebug operator<<(QDebug dbg, CircleData const& circle) {
    return dbg << QString(circle);
}

QDebug operator<<(QDebug dbg, LabelData const& label) {
    return dbg << QString(label);
}

QDebug operator<<(QDebug dbg, GUI const& gui) {
    QDebugStateSaver saver(dbg);
    dbg.noquote() << QString(gui);
    return dbg;
}

} // namespace Settings
