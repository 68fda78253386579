#pragma once

#include <QString>

// The two embedded cuts of the product family, made the application's default font.
namespace support {

extern QString zentova_font_name;

QString load_font(QString const& path);
QString load_zentova_fonts();
void set_default_font(QString const& family);
void setup_fonts();

} // namespace support
