#include "dfu/scan.h"

#include "dfu/command.h"

#include <QDebug>
#include <QHash>
#include <QRegularExpression>

const QString DfuUtilParser::prefix_RE = QStringLiteral("^Found DFU: \\[0483:df11\\] ver=2200");
const QString DfuUtilParser::extract_serial_RE = QStringLiteral("serial=\"([0-9a-fA-F]+)\"");

namespace {

// Compiled once per process: the listing is parsed every polling cycle.
QRegularExpression compile(QString const& pattern) {
    QRegularExpression expression(pattern);
    expression.optimize();
    return expression;
}

QRegularExpression const& prefix_expression() {
    static const QRegularExpression expression = compile(DfuUtilParser::prefix_RE);
    return expression;
}

QRegularExpression const& serial_expression() {
    static const QRegularExpression expression = compile(DfuUtilParser::extract_serial_RE);
    return expression;
}

} // namespace

DfuUtilParser::DfuUtilParser(QString const& listing) {
    QRegularExpression const& prefix = prefix_expression();
    QRegularExpression const& serial_field = serial_expression();
    int device_lines = 0;
    for (QString const& line : listing.split('\n', Qt::KeepEmptyParts)) {
        if (!prefix.match(line).hasMatch())
            continue;
        const QRegularExpressionMatch match = serial_field.match(line);
        if (!match.hasMatch()) {
            qDebug() << line;
            status = no_dfu_device;
            return;
        }
        const QString serial = match.captured(1);
        if (serials.isEmpty() || serials.last() != serial)
            serials.append(serial);
        ++device_lines;
    }
    nr_of_devices = serials.size();
    if (nr_of_devices == 0)
        status = no_dfu_device;
    else if (nr_of_devices == 1)
        status = device_lines == lines_per_device ? one_dfu_device : invalid_dfu_device;
    else
        status = multiple_dfu_devices;
}

QString DfuUtilParser::status_as_string() const {
    static const QHash<int, QString> texts{
        {no_dfu_device, QStringLiteral("no_dfu_device")},
        {one_dfu_device, QStringLiteral("one_dfu_device")},
        {invalid_dfu_device, QStringLiteral("invalid_dfu_device")},
        {multiple_dfu_devices, QStringLiteral("multiple_dfu_devices")},
    };
    return texts.value(status);
}

namespace DFU {

ScanResult scan_for_devices(QString listing) {
    const DfuUtilParser parser(listing);
    ScanResult result;
    for (QString const& serial : parser.serials)
        result.devices.append({serial});
    if (parser.status == DfuUtilParser::one_dfu_device)
        result.error = 0;
    return result;
}

ScanResult make_scan() {
    const CommandResult listing = run_command(CmdID::list, {});
    if (listing.exit_code != 0)
        return {};
    return scan_for_devices(listing.output);
}

} // namespace DFU
