#pragma once

// Device listings in the format of dfu-util 0.11 (`dfu-util -d 0483 -l`), for tests and benchmarks.

#include <QString>
#include <QStringList>

namespace test_listing {

inline const QString banner =
    QStringLiteral("dfu-util 0.11\n\n"
                   "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
                   "Copyright 2010-2021 Tormod Volden and Stefan Schmidt\n"
                   "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
                   "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n\n");

// The four alternate settings of the STM32 system bootloader, listed from the last one down.
inline const QStringList alt_names{
    QStringLiteral("@Device Feature/0xFFFF0000/01*004 e"),
    QStringLiteral("@OTP Memory /0x1FFF7800/01*512 e,01*016 e"),
    QStringLiteral("@Option Bytes  /0x1FFFC000/01*016 e"),
    QStringLiteral("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg"),
};

inline QString device_line(QString const& serial, int alt = 0,
                           QString const& ids = QStringLiteral("0483:df11"),
                           QString const& version = QStringLiteral("2200")) {
    return QStringLiteral(
               "Found DFU: [%1] ver=%2, devnum=10, cfg=1, intf=0, path=\"1-2\", alt=%3, name=\"%4\", "
               "serial=\"%5\"")
        .arg(ids, version)
        .arg(alt)
        .arg(alt_names.value(3 - alt % 4), serial);
}

// The lines one bootloader prints: one per alternate setting, highest first.
inline QStringList device_lines(QString const& serial, int count = 4) {
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << device_line(serial, (count - 1 - i) % 4);
    return lines;
}

inline QString listing(QStringList const& lines, QString const& eol = QStringLiteral("\n")) {
    QString text = banner;
    for (QString const& line : lines)
        text += line + eol;
    return text;
}

} // namespace test_listing
