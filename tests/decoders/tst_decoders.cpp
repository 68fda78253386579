// What the tool reads from dfu-util and from a unit: the device listing, the progress bar, the version
// banner, the firmware information block, the product record and the product codes.

#include "device/fw_info.h"
#include "device/otp_info.h"
#include "device/product.h"
#include "dfu/dfu_util.h"
#include "dfu/firmware_transfer.h"
#include "dfu/scan.h"

#include "device_blocks.h"
#include "dfu_listing.h"
#include "message_capture.h"

#include <QtTest>

using namespace Device;
using namespace test_blocks;
using namespace test_listing;

Q_DECLARE_METATYPE(DfuUtilParser::Status)
Q_DECLARE_METATYPE(Device::Type)

namespace {

QString const A = QStringLiteral("336032683536");
QString const B = QStringLiteral("2079358E5753");
QByteArray const qrmx = bytes({0x03, 0xFF, 0xFF, 0xFF});
QByteArray const hrvo = bytes({0x2B, 0xFF, 0xFF, 0xFF});

QByteArray sample_block(Pairs const& details = {}) {
    return fw_block(qrmx, "Nal-70 main", "2.4.1", details);
}

} // namespace

class TestDecoders : public QObject {
    Q_OBJECT

private slots:
    void device_listing_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("only_serial");
        QTest::addColumn<DfuUtilParser::Status>("status");
        QTest::addColumn<QStringList>("serials");
        QTest::addColumn<int>("unreadable"); // units without a serial of their own, or passed over as such
        using P = DfuUtilParser;
        QString const runtime = device_line(A).replace("Found DFU", "Found Runtime");
        // A second unit in another port, its serial as dfu-util prints it.
        auto const unit_at_4 = [](QString const& serial) {
            QString const line = device_line(serial).replace("devnum=10", "devnum=12").replace("1-2", "1-4");
            return QStringList{line, line, line, line};
        };
        QStringList const unknown_unit = unit_at_4("UNKNOWN");
        QTest::newRow("empty") << QString() << "" << P::no_dfu_device << QStringList() << 0;
        QTest::newRow("banner only") << banner << "" << P::no_dfu_device << QStringList() << 0;
        QTest::newRow("one device") << listing(device_lines(A)) << "" << P::one_dfu_device << QStringList{A}
                                    << 0;
        QTest::newRow("CR-LF") << listing(device_lines(A), "\r\n") << "" << P::one_dfu_device
                               << QStringList{A} << 0;
        QTest::newRow("no trailing line feed")
            << device_lines(A).join('\n') << "" << P::one_dfu_device << QStringList{A} << 0;
        QTest::newRow("between warnings")
            << listing({"dfu-util: Cannot open DFU device 1d50:6017", device_line(A, 3), device_line(A, 2),
                        "", device_line(A, 1), device_line(A, 0), "dfu-util: warning"})
            << "" << P::one_dfu_device << QStringList{A} << 0;
        QTest::newRow("three lines") << listing(device_lines(A, 3)) << "" << P::invalid_dfu_device
                                     << QStringList{A} << 0;
        QTest::newRow("five lines") << listing(device_lines(A, 5)) << "" << P::invalid_dfu_device
                                    << QStringList{A} << 0;
        QTest::newRow("two devices") << listing(device_lines(A) + device_lines(B)) << ""
                                     << P::multiple_dfu_devices << QStringList{A, B} << 0;
        QTest::newRow("A B A") << listing({device_line(A), device_line(B), device_line(A)}) << ""
                               << P::multiple_dfu_devices << QStringList{A, B, A} << 0;
        QTest::newRow("serials differing in case")
            << listing(device_lines("2079358e5753", 2) + device_lines(B, 2)) << "" << P::multiple_dfu_devices
            << QStringList{"2079358e5753", B} << 0;
        QTest::newRow("runtime mode") << listing({runtime}) << "" << P::no_dfu_device << QStringList() << 0;
        QTest::newRow("other version") << listing({device_line(A, 0, "0483:df11", "0200")}) << ""
                                       << P::no_dfu_device << QStringList() << 0;
        QTest::newRow("other vendor")
            << listing({device_line(A, 0, "1d50:6017"), device_line(A, 0, "0484:df11")}) << ""
            << P::no_dfu_device << QStringList() << 0;
        QTest::newRow("indented") << listing({" " + device_line(A)}) << "" << P::no_dfu_device
                                  << QStringList() << 0;
        QTest::newRow("unreadable serial beside a unit") << listing(unknown_unit + device_lines(A)) << ""
                                                         << P::multiple_dfu_devices << QStringList{A} << 1;
        QTest::newRow("unreadable serial, the other asked for")
            << listing(unknown_unit + device_lines(A)) << A.toLower() << P::one_dfu_device << QStringList{A}
            << 1;
        QTest::newRow("serial not attached")
            << listing(device_lines(A)) << B << P::no_dfu_device << QStringList() << 0;
        // A serial that dfu-util prints as it is given: never read as another, nor trimmed into another.
        QTest::newRow("quote: not the serial before it")
            << listing(unit_at_4(A + "\"X") + device_lines(A)) << "" << P::multiple_dfu_devices
            << QStringList{A} << 1;
        QTest::newRow("quote, the serial before it asked for")
            << listing(unit_at_4(A + "\"X")) << A << P::no_dfu_device << QStringList() << 1;
        QTest::newRow("a serial field in the serial")
            << listing(unit_at_4("X\", serial=\"" + A)) << A << P::no_dfu_device << QStringList() << 1;
        QTest::newRow("a serial field in the name")
            << listing({device_line(B).replace("name=\"", "name=\"x\", serial=\"" + A)}) << ""
            << P::no_dfu_device << QStringList() << 1;
        QTest::newRow("line break") << listing(unit_at_4(A + "\n" + B)) << "" << P::no_dfu_device
                                    << QStringList() << 1;
        QTest::newRow("beyond ASCII")
            << listing(unit_at_4(A + "\u00c4")) << "" << P::no_dfu_device << QStringList() << 1;
        QTest::newRow("a character dfu-util could not convert")
            << listing(unit_at_4(A + "?")) << "" << P::no_dfu_device << QStringList() << 1;
        QTest::newRow("spaces around")
            << listing(unit_at_4(" " + A + " ")) << A << P::no_dfu_device << QStringList() << 1;
        QTest::newRow("empty") << listing(unit_at_4("")) << "" << P::no_dfu_device << QStringList() << 1;
        QTest::newRow("longest a unit can give")
            << listing(device_lines(A.repeated(10).left(126))) << A.repeated(10).left(126).toLower()
            << P::one_dfu_device << QStringList{A.repeated(10).left(126)} << 0;
    }
    void device_listing() {
        QFETCH(QString, text);
        QFETCH(QString, only_serial);
        QFETCH(DfuUtilParser::Status, status);
        QFETCH(QStringList, serials);
        QFETCH(int, unreadable);
        DfuUtilParser const parser(text, only_serial);
        QCOMPARE(parser.status, status);
        QCOMPARE(parser.serials, serials);
        QCOMPARE(int(parser.unidentified.size()) + parser.unidentified_passed_over, unreadable);
        for (DFU::DeviceItem const& unit : parser.unidentified)
            QVERIFY(!unit.serial_readable() && !unit.path.isEmpty() && !unit.devnum.isEmpty());
        DFU::ScanResult const scan = DFU::scan_for_devices(text, only_serial);
        QCOMPARE(scan.error, status == DfuUtilParser::one_dfu_device ? 0 : 1);
        QCOMPARE(int(scan.devices.size()), serials.size());
    }

    // The units a listing could not open for want of permission, as 0.9 and later releases say so.
    void units_without_access_data() {
        QTest::addColumn<QString>("errors");
        QTest::addColumn<QStringList>("addresses");
        QTest::newRow("0.11")
            << "dfu-util: Cannot open DFU device 0483:df11 found on devnum 5 (LIBUSB_ERROR_ACCESS)\n"
            << QStringList{"5"};
        QTest::newRow("0.9") << "dfu-util: Cannot open DFU device 0483:df11\n" << QStringList{""};
        QTest::newRow("another reason") << "dfu-util: Cannot open DFU device 0483:df11 found on devnum 5 "
                                           "(LIBUSB_ERROR_NO_DEVICE)\n"
                                        << QStringList{};
        QTest::newRow("none") << "" << QStringList{};
    }
    void units_without_access() {
        QFETCH(QString, errors);
        QFETCH(QStringList, addresses);
        QCOMPARE(DFU::addresses_without_access(errors), addresses);
    }

    void progress_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<int>("step");
        QTest::addColumn<qint64>("bytes");
        using Step = DFU::Progress::Step;
        QTest::newRow("erase") << QByteArray("Erase   \t[====                     ]  16%        65536 bytes")
                               << true << int(Step::erasing) << qint64(65536);
        QTest::newRow("download") << QByteArray(
                                         "Download\t[=========================] 100%       403300 bytes")
                                  << true << int(Step::writing) << qint64(403300);
        QTest::newRow("upload") << QByteArray("Upload\t[                         ]   0%            0 bytes")
                                << true << int(Step::reading_back) << qint64(0);
        QTest::newRow("step done") << QByteArray("Download done.") << false << 0 << qint64(0);
        QTest::newRow("no bytes") << QByteArray("Erase   \t[==  ]  40% bytes") << false << 0 << qint64(0);
        QTest::newRow("foreign bar") << QByteArray("Upload\t[xx  ]  40%   10 bytes") << false << 0
                                     << qint64(0);
        QTest::newRow("unknown step")
            << QByteArray("Verify\t[==  ]  40%   10 bytes") << false << 0 << qint64(0);
        QTest::newRow("runaway number")
            << QByteArray("Download\t[=] 100% 99999999999999999999 bytes") << false << 0 << qint64(0);
        QTest::newRow("binary") << QByteArray("Erase\x00\xff[==] 1% 2 bytes", 23) << false << 0 << qint64(0);
    }
    void progress() {
        QFETCH(QByteArray, line);
        QFETCH(bool, parsed);
        QFETCH(int, step);
        QFETCH(qint64, bytes);
        DFU::Progress progress;
        QCOMPARE(DFU::parse_progress(line, &progress), parsed);
        if (parsed) {
            QCOMPARE(int(progress.step), step);
            QCOMPARE(progress.bytes, bytes);
        }
    }

    // dfu-util's output arrives in pieces split anywhere; each bar is reported once.
    void progress_in_pieces() {
        QByteArray const output(
            "\rErase   \t[==] 40%   4096 bytes\rUpload\t[==] 50%  5120 bytes\nUpload done.\n");
        for (int split = 0; split <= output.size(); ++split) {
            QVector<qint64> bytes;
            DFU::ProgressReader reader([&](DFU::Progress const& progress) { bytes << progress.bytes; });
            reader.feed(output.left(split));
            reader.feed(output.mid(split));
            QCOMPARE(bytes, (QVector<qint64>{4096, 5120}));
        }
    }

    // dfu-util 0.9 erases as it writes, under its "Download" bar alone; later releases erase first.
    void download_bar_alone_is_erasing_and_writing_data() {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QVector<int>>("steps");
        using Step = DFU::Progress::Step;
        QByteArray const download =
            "\rDownload\t[=   ]  4%  12288 bytes\rDownload\t[====] 100%  300000 bytes\n";
        QTest::newRow("0.9") << download
                             << QVector<int>{int(Step::erasing_and_writing), int(Step::erasing_and_writing)};
        QTest::newRow("later") << "\rErase   \t[====] 100%  300000 bytes\nErase    done.\n" + download
                               << QVector<int>{int(Step::erasing), int(Step::writing), int(Step::writing)};
    }
    void download_bar_alone_is_erasing_and_writing() {
        QFETCH(QByteArray, output);
        QFETCH(QVector<int>, steps);
        QVector<int> reported;
        DFU::ProgressReader reader([&](DFU::Progress const& progress) { reported << int(progress.step); });
        reader.feed(output);
        QCOMPARE(reported, steps);
    }

    void version_banner_data() {
        QTest::addColumn<QString>("banner");
        QTest::addColumn<QString>("version");
        QString const banner_0_9 = DFU::dfu_util::expected_output_of_execution_test;
        QTest::newRow("0.9") << banner_0_9 << "0.9";
        QTest::newRow("0.9, CR-LF") << QString(banner_0_9).replace("\n", "\r\n") << "0.9";
        QTest::newRow("0.11") << banner << "0.11";
        QTest::newRow("0.8") << "dfu-util 0.8\n"
                             << "0.8";
        QTest::newRow("no banner") << "Segmentation fault\n"
                                   << "";
        QTest::newRow("empty") << ""
                               << "";
    }
    void version_banner() {
        QFETCH(QString, banner);
        QFETCH(QString, version);
        QCOMPARE(DFU::dfu_util::version_of(banner), QVersionNumber::fromString(version));
    }

    // The firmware information block in a flash dump: valid, its revision and its number of details.
    void firmware_block_data() {
        QTest::addColumn<QByteArray>("dump");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("revision");
        QTest::addColumn<int>("details");
        QByteArray end_before_begin = flash_dump(sample_block(), 100);
        end_before_begin.replace(4, 4, fw_end_marker);
        QByteArray off_by_one = sample_block();
        off_by_one.insert(off_by_one.size() - 4, 'x');
        Pairs const one_pair{{"key", "value"}};
        QTest::newRow("with details")
            << flash_dump(sample_block({{"build", "release"}, {"date", "2024"}}), 0x188) << true << "2.4.1"
            << 2;
        QTest::newRow("without details") << sample_block() << true << "2.4.1" << 0;
        QTest::newRow("empty") << QByteArray() << false << "" << 0;
        QTest::newRow("erased") << QByteArray(2048, char(0xFF)) << false << "" << 0;
        QTest::newRow("begin only") << flash_dump(fw_begin_marker, 10) << false << "" << 0;
        QTest::newRow("end before begin") << end_before_begin << false << "" << 0;
        QTest::newRow("one byte too long") << flash_dump(off_by_one, 0) << false << "" << 0;
        QTest::newRow("end marker at 1948") << flash_dump(sample_block(), 1876, 2248) << true << "2.4.1" << 0;
        QTest::newRow("end marker at 1949") << flash_dump(sample_block(), 1877, 2248) << false << "" << 0;
        QTest::newRow("pair, end marker at 1948")
            << flash_dump(sample_block(one_pair), 1812, 2248) << true << "2.4.1" << 1;
        QTest::newRow("empty key ends the details")
            << sample_block({{"one", "1"}, {"", "2"}, {"three", "3"}}) << true << "2.4.1" << 1;
        QTest::newRow("unterminated key")
            << sample_block({{"a", "b"}, {QByteArray(32, 'N'), "c"}}) << true << "2.4.1" << 1;
        QTest::newRow("first block counts")
            << sample_block() + fw_block(hrvo, "other", "9.9") << true << "2.4.1" << 0;
    }
    void firmware_block() {
        QFETCH(QByteArray, dump);
        QFETCH(bool, valid);
        QFETCH(QString, revision);
        QFETCH(int, details);
        MessageCapture quiet;
        FW_Info const info = make_FW_Info(dump);
        QCOMPARE(info.valid, valid);
        QCOMPARE(info.revision, valid ? revision : QString());
        QCOMPARE(int(info.details.size()), details);
        if (valid)
            QCOMPARE(info.product_info.type, Type::QRMX);
    }

    void truncated_dumps_never_give_a_block() {
        QByteArray const dump = flash_dump(sample_block({{"k", "v"}}), 300);
        int const whole = 300 + 72 + 64 + 4;
        MessageCapture quiet;
        for (int size = 0; size < whole; ++size)
            QVERIFY2(!make_FW_Info(dump.left(size)).valid, qPrintable(QString::number(size)));
        QVERIFY(make_FW_Info(dump.left(whole)).valid);
    }

    // The product record in the OTP area: valid, blank, and the product type when valid.
    void product_record_data() {
        QTest::addColumn<QByteArray>("area");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("blank");
        QTest::addColumn<Type>("type");
        QByteArray const record = otp_record(qrmx);
        QTest::newRow("erased") << QByteArray(512, char(0xFF)) << false << true << Type::invalid;
        QTest::newRow("empty") << QByteArray() << false << true << Type::invalid;
        QTest::newRow("one byte written")
            << otp_area({{100, bytes({0x00})}}) << false << false << Type::invalid;
        QTest::newRow("record at 0") << otp_area({{0, record}}) << true << false << Type::QRMX;
        QTest::newRow("record at 496") << otp_area({{496, record}}) << true << false << Type::QRMX;
        QTest::newRow("misaligned") << otp_area({{8, record}}) << false << false << Type::invalid;
        QTest::newRow("cut at the end")
            << otp_area({{497, record.left(15)}}) << false << false << Type::invalid;
        QTest::newRow("record then a misaligned marker")
            << otp_area({{0, record}, {40, otp_marker}}) << false << false << Type::invalid;
        QTest::newRow("short data, whole record") << record << true << false << Type::QRMX;
        QTest::newRow("short data, cut record") << record.left(12) << false << false << Type::invalid;
        QTest::newRow("last record decides")
            << otp_area({{0, record}, {16, otp_record(hrvo)}}) << true << false << Type::HRVO;
        QTest::newRow("type byte 0") << otp_area({{32, otp_record(bytes({0x00, 1, 0xFF, 0xFF}))}}) << false
                                     << false << Type::invalid;
        QTest::newRow("type outside the catalogue")
            << otp_area({{0, otp_record(bytes({0x42, 0xFF, 0xFF, 0xFF}))}}) << false << false
            << Type::invalid;
    }
    void product_record() {
        QFETCH(QByteArray, area);
        QFETCH(bool, valid);
        QFETCH(bool, blank);
        QFETCH(Type, type);
        MessageCapture quiet;
        OTP_Info const info = make_OTP_Info(area);
        QCOMPARE(info.valid, valid);
        QCOMPARE(info.blank, blank);
        if (valid)
            QCOMPARE(info.product_info.type, type);
    }

    void product_codes() {
        QVector<uint8_t> const catalogued{0x00, 0xFF, 0x03, 0x2B, 0x0B, 0x84, 0x1E, 0x8C, 0xFE};
        for (int b = 0; b < 256; ++b)
            QCOMPARE(to_Type(uint8_t(b)), catalogued.contains(uint8_t(b)) ? Type(b) : Type::unknown);
        QCOMPARE(to_Type(QStringLiteral("SOLK")), Type::SOLK);
        QCOMPARE(to_Type(QString()), Type::invalid);
        for (char const* code : {"qrmx", "Quintar", "QRM", "QRMX "})
            QCOMPARE(to_Type(QString(code)), Type::unknown);
        QCOMPARE(make_ProductInfo({0x42, 0xFF, 0xFF, 0xFF}).type, Type::unknown);
    }
};

QTEST_GUILESS_MAIN(TestDecoders)
#include "tst_decoders.moc"
