#include "app/about.h"

#include "app/app.h"
#include "device/fw_info.h"
#include "history/image.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

namespace {

// The firmware is decoded straight from the resources: nothing is unpacked for a version query.
QString version_text() {
    Device::FW_Info const firmware = Device::make_FW_Info(QStringLiteral(":resources/firmware.bin"));
    QString const carried =
        firmware.valid ? firmware.name + " revision " + firmware.revision : QStringLiteral("unreadable");
    return QCoreApplication::applicationName() + " " + UPDATER_VERSION + "\nFirmware carried: " + carried +
           "\nImage SHA-256: " + History::image_sha256() + "\n";
}

} // namespace

bool help_or_version_requested() {
    return !command_line.failure && (command_line.help || command_line.version);
}

// The help is the option table's; it names the program as the application object does.
int print_help_or_version() {
    QCommandLineParser parser;
    add_program_options(&parser);
    QString const text = command_line.help ? parser.helpText() : version_text();
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return 0;
}
