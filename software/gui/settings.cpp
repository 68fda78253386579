#include "gui/settings.h"

#include "files/support_misc.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace Settings {

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

LabelData::operator QString() const {
    QString const not_white = white ? QString() : QString("not-white");
    QString const separator = (!white && !create) ? QString(" ") : QString();
    QString const no_create = create ? QString() : QString("no-create");
    return QString("Label '%1': (%2,%3) {%4%5%6} font='%7':%8: '%9'")
        .arg(id, QString::number(x), QString::number(y), not_white, separator, no_create, font,
             QString::number(size), text);
}

QString load_settings_file(QString const& path) {
    return support_misc::load_text_file(support_misc::maybe_use_file_instead_of_resource(path));
}

std::vector<LabelData> labels_of(QJsonObject const& top) {
    std::vector<LabelData> labels;
    for (QJsonValue const& element : top.value("labels").toArray())
        labels.push_back(LabelData_factory(element.toObject()));
    return labels;
}

GUI make_texts(QString const& path) {
    GUI texts;
    texts.labels = labels_of(QJsonDocument::fromJson(load_settings_file(path).toUtf8()).object());
    texts.valid = true;
    return texts;
}

QDebug operator<<(QDebug dbg, LabelData const& label) {
    return dbg << QString(label);
}

} // namespace Settings
