#include "dfu/scan.h"

#include "dfu/command.h"

#include "dfu_listing.h"
#include "fake_dfu_util.h"
#include "message_capture.h"

#include <QtTest>

using namespace test_listing;

Q_DECLARE_METATYPE(DfuUtilParser::Status)

namespace {

const QString A = QStringLiteral("336032683536");
const QString B = QStringLiteral("2079358E5753");

QStringList serials_of(DFU::ScanResult const& scan) {
    QStringList serials;
    for (auto const& device : scan.devices)
        serials << device.serial;
    return serials;
}

} // namespace

class TestScan : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<DfuUtilParser::Status>("status");
        QTest::addColumn<QStringList>("serials");

        const QString runtime =
            QStringLiteral("Found Runtime: [0483:df11] ver=2200, devnum=3, cfg=1, intf=0, "
                           "path=\"1-1\", alt=0, name=\"DFU\", serial=\"%1\"")
                .arg(A);
        QTest::newRow("empty") << QString() << DfuUtilParser::no_dfu_device << QStringList();
        QTest::newRow("banner only") << banner << DfuUtilParser::no_dfu_device << QStringList();
        QTest::newRow("one device") << listing(device_lines(A)) << DfuUtilParser::one_dfu_device
                                    << QStringList{A};
        QTest::newRow("CR-LF") << listing(device_lines(A), "\r\n") << DfuUtilParser::one_dfu_device
                               << QStringList{A};
        QTest::newRow("no trailing line feed")
            << device_lines(A).join('\n') << DfuUtilParser::one_dfu_device << QStringList{A};
        QTest::newRow("between warnings")
            << listing({"dfu-util: Cannot open DFU device 1d50:6017", device_line(A, 3), device_line(A, 2),
                        "", device_line(A, 1), device_line(A, 0), "dfu-util: warning"})
            << DfuUtilParser::one_dfu_device << QStringList{A};
        QTest::newRow("three lines") << listing(device_lines(A, 3)) << DfuUtilParser::invalid_dfu_device
                                     << QStringList{A};
        QTest::newRow("five lines") << listing(device_lines(A, 5)) << DfuUtilParser::invalid_dfu_device
                                    << QStringList{A};
        QTest::newRow("two devices") << listing(device_lines(A) + device_lines(B))
                                     << DfuUtilParser::multiple_dfu_devices << QStringList{A, B};
        QTest::newRow("A B A") << listing({device_line(A), device_line(B), device_line(A)})
                               << DfuUtilParser::multiple_dfu_devices << QStringList{A, B, A};
        QTest::newRow("serials differing in case")
            << listing(device_lines("2079358e5753", 2) + device_lines(B, 2))
            << DfuUtilParser::multiple_dfu_devices << QStringList{"2079358e5753", B};
        QTest::newRow("mixed-case serial")
            << listing(device_lines("20aBcD")) << DfuUtilParser::one_dfu_device << QStringList{"20aBcD"};
        QTest::newRow("runtime mode") << listing({runtime}) << DfuUtilParser::no_dfu_device << QStringList();
        QTest::newRow("other version") << listing({device_line(A, 0, "0483:df11", "0200")})
                                       << DfuUtilParser::no_dfu_device << QStringList();
        QTest::newRow("other vendor")
            << listing({device_line(A, 0, "1d50:6017"), device_line(A, 0, "0484:df11")})
            << DfuUtilParser::no_dfu_device << QStringList();
        QTest::newRow("upper-case product id")
            << listing({device_line(A, 0, "0483:DF11")}) << DfuUtilParser::no_dfu_device << QStringList();
        QTest::newRow("indented") << listing({" " + device_line(A)}) << DfuUtilParser::no_dfu_device
                                  << QStringList();
        QTest::newRow("other devices around one")
            << listing(QStringList{device_line(B, 0, "1d50:6017")} + device_lines(A) +
                       QStringList{device_line(B, 0, "0483:df11", "2700")})
            << DfuUtilParser::one_dfu_device << QStringList{A};
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(DfuUtilParser::Status, status);
        QFETCH(QStringList, serials);
        MessageCapture capture;
        const DfuUtilParser parser(text);
        QCOMPARE(parser.status, status);
        QCOMPARE(parser.serials, serials);
        QCOMPARE(parser.nr_of_devices, serials.size());
        QVERIFY(capture.empty());

        const DFU::ScanResult scan = DFU::scan_for_devices(text);
        QCOMPARE(scan.error, status == DfuUtilParser::one_dfu_device ? 0 : 1);
        QCOMPARE(serials_of(scan), serials);
    }

    // A unit whose serial cannot be read is passed over on its own: the units around it are listed as usual,
    // and without a serial filter it still counts as an attached unit.
    void unreadable_serial_affects_only_its_unit_data() {
        QTest::addColumn<QString>("bad_line");
        QTest::newRow("unknown serial") << device_line("UNKNOWN");
        QTest::newRow("no serial field") << device_line(A).section(", serial=", 0, 0);
        QTest::newRow("empty serial") << device_line("");
        QTest::newRow("non-hex digit") << device_line("33603268353G");
    }
    void unreadable_serial_affects_only_its_unit() {
        QFETCH(QString, bad_line);
        QString const unknown = QString(bad_line).replace("devnum=10", "devnum=12").replace("1-2", "1-4");
        struct Case {
            QStringList lines;
            QString only_serial;
            DfuUtilParser::Status status;
            QStringList serials;
            int unidentified;
        };
        QVector<Case> const cases = {
            {QStringList{device_line(B)} + QStringList{unknown, unknown, unknown, unknown} + device_lines(A),
             {},
             DfuUtilParser::multiple_dfu_devices,
             {B, A},
             1},
            {QStringList{unknown, unknown, unknown, unknown} + device_lines(A),
             {},
             DfuUtilParser::multiple_dfu_devices,
             {A},
             1},
            {QStringList{unknown, unknown, unknown, unknown} + device_lines(A),
             A,
             DfuUtilParser::one_dfu_device,
             {A},
             0},
            {QStringList{unknown, unknown}, {}, DfuUtilParser::no_dfu_device, {}, 1},
        };
        for (Case const& c : cases) {
            MessageCapture capture;
            const DfuUtilParser parser(listing(c.lines), c.only_serial);
            QCOMPARE(parser.status, c.status);
            QCOMPARE(parser.serials, c.serials);
            QCOMPARE(parser.unidentified.size(), c.unidentified);
            if (c.unidentified > 0) {
                QCOMPARE(parser.unidentified.first().path, QString("1-4"));
                QCOMPARE(parser.unidentified.first().devnum, QString("12"));
                QVERIFY(parser.unidentified.first().serial.isEmpty());
            }
            QVERIFY(capture.texts(QtDebugMsg).contains('"' + QString(unknown).replace('"', "\\\"") + '"'));

            const DFU::ScanResult scan = DFU::scan_for_devices(listing(c.lines), c.only_serial);
            QCOMPARE(scan.error, c.status == DfuUtilParser::one_dfu_device ? 0 : 1);
            QCOMPARE(serials_of(scan), c.serials);
            QCOMPARE(scan.unidentified.size(), c.unidentified);
        }
    }

    void status_texts_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "no_dfu_device";
        QTest::newRow("1") << 1 << "one_dfu_device";
        QTest::newRow("2") << 2 << "invalid_dfu_device";
        QTest::newRow("3") << 3 << "multiple_dfu_devices";
        QTest::newRow("4") << 4 << "";
        QTest::newRow("-1") << -1 << "";
    }
    void status_texts() {
        QFETCH(int, value);
        QFETCH(QString, text);
        DfuUtilParser parser(QString{});
        parser.status = DfuUtilParser::Status(value);
        QCOMPARE(parser.status_as_string(), text);
    }

    void scan_runs_the_listing() {
        FakeDfuUtil fake;
        QFile file(fake.file("listing.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(listing(device_lines(A)).toUtf8());
        file.close();
        DFU::commands[DFU::CmdID::list].args = QStringList{"listing", file.fileName()};
        const DFU::ScanResult found = DFU::make_scan();
        QCOMPARE(found.error, 0);
        QCOMPARE(serials_of(found), QStringList{A});

        DFU::commands[DFU::CmdID::list].args = QStringList{"listing", file.fileName(), "74"};
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Exit with 74 from "));
        const DFU::ScanResult failed = DFU::make_scan();
        QCOMPARE(failed.error, 1);
        QVERIFY(failed.devices.isEmpty());
        DFU::commands[DFU::CmdID::list].args = QStringList{"-d", "0483", "-l"};
    }

    void scan_with_real_dfu_util_and_no_device() {
        QVERIFY(DFU::Command::path.isEmpty());
        const DFU::ScanResult scan = DFU::make_scan();
        QCOMPARE(scan.error, 1);
        QVERIFY(scan.devices.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestScan)
#include "tst_scan.moc"
