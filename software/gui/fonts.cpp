#include "gui/fonts.h"

#include <QApplication>
#include <QDebug>
#include <QFont>
#include <QFontDatabase>

#include <mutex>

namespace support {

QString zentova_font_name;

namespace {

const char* const regular_font_path = ":resources/ZentovaSans-Regular.otf";
const char* const bold_font_path = ":resources/ZentovaSans-Bold.otf";
const int default_point_size = 11;

} // namespace

QString load_font(QString const& path) {
    int const id = QFontDatabase::addApplicationFont(path);
    if (id < 0)
        qWarning() << "Unable to load font from " << path;
    QStringList const families = QFontDatabase::applicationFontFamilies(id);
    return families.isEmpty() ? QString() : families.first();
}

// Both files declare the same family, so the bold file only has to be registered.
QString load_zentova_fonts() {
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        zentova_font_name = load_font(regular_font_path);
        load_font(bold_font_path);
    });
    return zentova_font_name;
}

void set_default_font(QString const& family) {
    if (family.isEmpty())
        return;
    QApplication::setFont(QFont(family, default_point_size));
}

void setup_fonts() {
    zentova_font_name = load_zentova_fonts();
    if (zentova_font_name.isEmpty()) {
        qWarning() << "Unable to load/set the Zentova font as default";
        return;
    }
    set_default_font(zentova_font_name);
    qInfo() << "Load/set default font:" << zentova_font_name;
}

} // namespace support
