#pragma once

#include "gui/settings.h"

// The parts of the settings that need the graphics toolkit (the circles' colours), declared for the window
// program alone: a run without a window cannot call them and so never loads the toolkit.
namespace Settings {

// The whole settings file: labels and circles.
GUI make_GUI(QString const& path);
GUI parse_GUI(QString const& settings_text);

CircleData CircleData_factory(QJsonObject const& object);

QString text_of(CircleData const& circle);
QString text_of(GUI const& gui);
QDebug operator<<(QDebug dbg, CircleData const& circle);
QDebug operator<<(QDebug dbg, GUI const& gui);

} // namespace Settings
