#include "app/about.h"

#include "app/app.h"
#include "device/fw_info.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

namespace {

bool parse(QCommandLineParser* parser, QStringList const& arguments) {
    add_program_options(parser);
    return parser->parse(arguments);
}

// The firmware is decoded straight from the resources: nothing is unpacked for a version query.
QString version_text() {
    Device::FW_Info const firmware = Device::make_FW_Info(QStringLiteral(":resources/firmware.bin"));
    QString const carried =
        firmware.valid ? firmware.name + " revision " + firmware.revision : QStringLiteral("unreadable");
    return QCoreApplication::applicationName() + " " + UPDATER_VERSION + "\nFirmware carried: " + carried +
           "\n";
}

} // namespace

bool help_or_version_requested(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    return parse(&parser, arguments) && (parser.isSet("help") || parser.isSet("version"));
}

int print_help_or_version() {
    QCommandLineParser parser;
    parse(&parser, QCoreApplication::arguments());
    QString const text = parser.isSet("help") ? parser.helpText() : version_text();
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return 0;
}
