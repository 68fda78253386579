#pragma once

#include "device/product.h"

#include <QColor>
#include <QDebug>
#include <QJsonObject>
#include <QPoint>
#include <QString>

#include <vector>

// The window's texts, their places and the decorative rings, read from a JSON layout file.
// All positions and sizes are design pixels of the 665 x 517 background picture.
namespace Settings {

struct LabelData {
    QString id;
    int x = -1;
    int y = -1;
    int size = -1;
    QString font;
    QString text;
    bool create = true;
    bool white = true;

    operator QString() const;
};

// A decorative ring; read, and told as text, only by the window program (window_settings.h).
struct CircleData {
    QString name;
    QPoint center;
    int radius = 0;
    int pen_width = 0;
    QColor color;
};

struct GUI {
    bool valid = false;
    std::vector<CircleData> circles;
    std::vector<LabelData> labels;

    LabelData const* label(QString const& id) const;
    // Whether an entry with this id exists; unlike label(), a missing one is not worth a warning.
    bool contains(QString const& id) const;
    QString text(QString const& id) const;
};

// The parsed layout plus what the window must know about the embedded firmware.
struct Settings {
    GUI gui;
    Device::Type desired_FW_type = Device::Type::invalid;
    QString desired_FW_revision;
};

QString load_settings_file(QString const& path);
// Only the labels, without the circles: the texts a run without a window tells, read without the graphics
// toolkit that the circles' colours need (so that such a run never loads it).
GUI make_texts(QString const& path);
// The labels of a settings file's JSON object.
std::vector<LabelData> labels_of(QJsonObject const& top);

LabelData LabelData_factory(QJsonObject const& object);

QDebug operator<<(QDebug dbg, LabelData const& label);

} // namespace Settings
