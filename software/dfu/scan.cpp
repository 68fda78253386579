#include "dfu/scan.h"

#include "dfu/command.h"
#include "dfu/unit_lock.h"

#include <QDebug>
#include <QHash>
#include <QRegularExpression>

const QString DfuUtilParser::prefix_RE = QStringLiteral("^Found DFU: \\[0483:df11\\] ver=2200");

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

QRegularExpression const& path_expression() {
    static const QRegularExpression expression = compile(QStringLiteral("path=\"([0-9.-]+)\""));
    return expression;
}

QRegularExpression const& devnum_expression() {
    static const QRegularExpression expression = compile(QStringLiteral("devnum=([0-9]+)"));
    return expression;
}

// dfu-util's own fields come first and hold only digits; the unit's alternate setting name and serial
// follow, each between quotes as the unit gives it, the serial last.
QLatin1String const name_field("name=\"");
QLatin1String const serial_field("\", serial=\"");

// The serial field as printed: from its opening quote to the line's end, less one closing quote. Where the
// name or the serial holds the field's own text, the last one.
QString listed_serial_of(QString const& line) {
    int const at = line.lastIndexOf(serial_field);
    if (at < 0)
        return QString();
    QString text = line.mid(at + serial_field.size());
    if (text.endsWith('"'))
        text.chop(1);
    return text;
}

// The serial that names the line's unit alone, or an empty text: a name field and only one serial field,
// so that neither the name nor the serial can have put it there, and hexadecimal to the line's end. A line
// break in the serial leaves its line without the closing quote.
QString serial_of(QString const& line) {
    static QRegularExpression const hex = compile(QStringLiteral("^[0-9a-fA-F]+$"));
    if (!line.contains(name_field) || line.count(serial_field) != 1 || !line.endsWith('"'))
        return QString();
    QString const serial = listed_serial_of(line);
    return hex.match(serial).hasMatch() ? serial : QString();
}

DFU::DeviceItem unit_of(QString const& line, QString const& serial) {
    return {serial, path_expression().match(line).captured(1), devnum_expression().match(line).captured(1),
            listed_serial_of(line)};
}

} // namespace

DfuUtilParser::DfuUtilParser(QString const& listing, QString const& only_serial) {
    QRegularExpression const& prefix = prefix_expression();
    int device_lines = 0;
    QString const wanted = DFU::unit_lock::canonical_serial(only_serial);
    QVector<DFU::DeviceItem> passed_over_unidentified;
    for (QString line : listing.split('\n', Qt::KeepEmptyParts)) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!prefix.match(line).hasMatch())
            continue;
        QString const serial = serial_of(line);
        if (serial.isEmpty()) {
            qDebug() << "A bootloader without a serial that names it alone:" << line;
            const DFU::DeviceItem unit = unit_of(line, QString());
            QVector<DFU::DeviceItem>& list = only_serial.isEmpty() ? unidentified : passed_over_unidentified;
            if (list.isEmpty() || !(list.last() == unit))
                list.append(unit);
            continue;
        }
        if (!wanted.isEmpty() && DFU::unit_lock::canonical_serial(serial) != wanted)
            continue;
        const DFU::DeviceItem unit = unit_of(line, serial);
        if (units.isEmpty() || !(units.last() == unit)) {
            units.append(unit);
            serials.append(unit.serial);
        }
        ++device_lines;
    }
    nr_of_devices = units.size();
    unidentified_passed_over = passed_over_unidentified.size();
    if (nr_of_devices == 0)
        status = no_dfu_device;
    else if (nr_of_devices + unidentified.size() > 1)
        status = multiple_dfu_devices;
    else
        status = device_lines == lines_per_device ? one_dfu_device : invalid_dfu_device;
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

QStringList unit_args(DeviceItem const& device) {
    QStringList args{"-S", device.serial};
    if (!device.path.isEmpty())
        args << "-p" << device.path;
    if (!device.devnum.isEmpty() && device.by_devnum)
        args << "-n" << device.devnum;
    return args;
}

QStringList addresses_without_access(QString const& listing_errors) {
    static QRegularExpression const denied("Cannot open DFU device 0483:df11(?: found on devnum (\\d+))?"
                                           "(?: \\((LIBUSB_ERROR_\\w+)\\))?");
    QStringList addresses;
    for (auto found = denied.globalMatch(listing_errors); found.hasNext();) {
        QRegularExpressionMatch const match = found.next();
        if (match.captured(2).isEmpty() || match.captured(2) == "LIBUSB_ERROR_ACCESS")
            addresses << match.captured(1);
    }
    return addresses;
}

ScanResult scan_for_devices(QString listing, QString const& only_serial, Capabilities capabilities) {
    const DfuUtilParser parser(listing, only_serial);
    ScanResult result;
    result.devices = parser.units;
    for (DeviceItem& device : result.devices)
        device.by_devnum = capabilities.addresses_by_devnum;
    result.unidentified = parser.unidentified;
    result.unidentified_passed_over = parser.unidentified_passed_over;
    if (parser.status == DfuUtilParser::one_dfu_device)
        result.error = 0;
    if (!only_serial.isEmpty() && result.devices.isEmpty())
        result.passed_over = DfuUtilParser(listing).serials;
    return result;
}

bool listed_as_judged(DeviceItem const& device) {
    ScanResult const scan = make_scan(nullptr, device.serial, Capabilities{device.by_devnum});
    return scan.devices.contains(device);
}

ScanResult make_scan() {
    return make_scan(nullptr);
}

ScanResult make_scan(QString* errors, QString const& only_serial, Capabilities capabilities) {
    const CommandResult listing = run_command(CmdID::list, {});
    if (errors)
        *errors = listing.errors;
    if (listing.exit_code != 0) {
        ScanResult failed;
        failed.listing_failure = listing.failure;
        return failed;
    }
    return scan_for_devices(listing.output, only_serial, capabilities);
}

} // namespace DFU
