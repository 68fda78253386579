// Feeds random and mutated inputs to every decoder of device and dfu-util output, with a fixed seed.
// Under AddressSanitizer and UBSan any read past a buffer's end fails the run; the checks below
// catch results that break the decoders' own rules.

#include "device/fw_info.h"
#include "device/otp_info.h"
#include "dfu/scan.h"

#include "device_blocks.h"
#include "dfu_listing.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

using namespace test_blocks;

namespace {

constexpr quint32 seed = 20240229;
constexpr int rounds = 20000;

void drop_messages(QtMsgType, QMessageLogContext const&, QString const&) {}

class Mutator {
public:
    explicit Mutator(quint32 seed) : random(seed) {}

    int below(int bound) { return bound > 0 ? int(random.bounded(bound)) : 0; }

    QByteArray random_bytes(int max_size) {
        QByteArray data(below(max_size + 1), '\0');
        for (char& c : data)
            c = char(below(256));
        return data;
    }

    // One to eight random edits: byte flips, cuts, insertions, marker copies, truncation.
    QByteArray mutate(QByteArray data, QVector<QByteArray> const& markers) {
        const int edits = 1 + below(8);
        for (int i = 0; i < edits; ++i)
            data = edit(data, markers);
        return data;
    }

private:
    QByteArray edit(QByteArray data, QVector<QByteArray> const& markers) {
        const int at = below(data.size() + 1);
        switch (below(6)) {
        case 0:
            if (!data.isEmpty())
                data[below(data.size())] = char(below(256));
            break;
        case 1:
            data.remove(at, 1 + below(64));
            break;
        case 2:
            data.insert(at, random_bytes(64));
            break;
        case 3:
            data.insert(at, markers[below(markers.size())]);
            break;
        case 4:
            data.truncate(at);
            break;
        default:
            data.replace(at, 4, markers[below(markers.size())]);
            break;
        }
        return data;
    }

    QRandomGenerator random;
};

QVector<QByteArray> all_markers() {
    return {fw_begin_marker, fw_end_marker, otp_marker, QByteArray(1, '\0')};
}

QByteArray sample_flash_dump(Mutator& m) {
    Pairs details;
    for (int i = 0, n = m.below(5); i < n; ++i)
        details.append({"key" + QByteArray::number(i), "value"});
    const QByteArray block =
        fw_block(bytes({uint8_t(m.below(256)), 0xFF, 0xFF, 0xFF}), "name", "1.2.3", details);
    return flash_dump(block, m.below(2048 - block.size()));
}

QByteArray sample_otp_area(Mutator& m) {
    QVector<QPair<int, QByteArray>> records;
    for (int i = 0, n = 1 + m.below(3); i < n; ++i)
        records.append({16 * m.below(32), otp_record(bytes({uint8_t(m.below(256)), 0xFF, 0xFF, 0xFF}))});
    return otp_area(records);
}

void check_FW_Info(QByteArray const& data) {
    const Device::FW_Info info = Device::make_FW_Info(data);
    const QString text = info;
    QVERIFY(!text.isEmpty());
    if (!info.valid) {
        QCOMPARE(info.product_info, Device::ProductInfo());
        return;
    }
    const int begin = data.indexOf(fw_begin_marker);
    const int end = data.indexOf(fw_end_marker);
    QVERIFY(begin >= 0 && end >= begin + 72 && end <= Device::FW_Info_max_marker_index);
    QVERIFY(info.details.size() <= (end - begin - 72) / 64);
}

void check_OTP_Info(QByteArray const& data) {
    const Device::OTP_Info info = Device::make_OTP_Info(data);
    const QString text = info;
    QVERIFY(text.startsWith("OTP info:\n"));
    QVERIFY(!(info.valid && info.blank));
    if (info.valid) {
        QVERIFY(Device::is_known(info.product_info.type));
        const int index = data.lastIndexOf(otp_marker);
        QVERIFY(index % 16 == 0 && index <= 496 && index + 16 <= data.size());
    }
}

void check_listing(QString const& text) {
    static const QRegularExpression hex("^[0-9a-fA-F]+$");
    const DfuUtilParser parser(text);
    QVERIFY(int(parser.status) >= 0 && int(parser.status) <= 3);
    QVERIFY(!parser.status_as_string().isEmpty());
    QVERIFY(parser.nr_of_devices == 0 || parser.nr_of_devices == parser.serials.size());
    for (QString const& serial : parser.serials) {
        QVERIFY(hex.match(serial).hasMatch());
        // The whole serial field, closing the line: never a part of a longer text.
        QVERIFY(QRegularExpression("serial=\"" + serial + "\"\r?(\n|$)").match(text).hasMatch());
    }
    for (DFU::DeviceItem const& unit : parser.unidentified)
        QVERIFY(!unit.serial_readable());
    const DFU::ScanResult scan = DFU::scan_for_devices(text);
    QCOMPARE(scan.error == 0, parser.status == DfuUtilParser::one_dfu_device);
    QCOMPARE(scan.devices.size(), parser.serials.size());
}

} // namespace

class TestRobustness : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(drop_messages); }
    void cleanupTestCase() { qInstallMessageHandler(nullptr); }

    void FW_Info_from_random_bytes() {
        Mutator m(seed);
        for (int i = 0; i < rounds; ++i) {
            check_FW_Info(m.random_bytes(2200));
            if (QTest::currentTestFailed())
                return;
        }
    }

    void FW_Info_from_mutated_dumps() {
        Mutator m(seed + 1);
        for (int i = 0; i < rounds; ++i) {
            check_FW_Info(m.mutate(sample_flash_dump(m), all_markers()));
            if (QTest::currentTestFailed())
                return;
        }
    }

    void FW_Info_from_every_truncation() {
        Mutator m(seed + 2);
        const QByteArray dump = sample_flash_dump(m);
        for (int size = 0; size <= dump.size(); ++size) {
            check_FW_Info(dump.left(size));
            check_FW_Info(dump.right(size));
        }
    }

    void get_string_at_every_index() {
        Mutator m(seed + 3);
        for (int i = 0; i < rounds; ++i) {
            const QByteArray data = m.random_bytes(80);
            const int index = m.below(data.size() + 40) - 20;
            const QString text = Device::get_string(data, index);
            QVERIFY(text.size() <= 32);
        }
    }

    void OTP_Info_from_random_bytes() {
        Mutator m(seed + 4);
        for (int i = 0; i < rounds; ++i) {
            QByteArray data = m.random_bytes(600);
            if (m.below(2))
                data.replace(m.below(data.size() + 1), 4, otp_marker);
            check_OTP_Info(data);
            if (QTest::currentTestFailed())
                return;
        }
    }

    void OTP_Info_from_mutated_areas() {
        Mutator m(seed + 5);
        for (int i = 0; i < rounds; ++i) {
            check_OTP_Info(m.mutate(sample_otp_area(m), all_markers()));
            if (QTest::currentTestFailed())
                return;
        }
    }

    void OTP_Info_from_every_truncation() {
        Mutator m(seed + 6);
        const QByteArray area = sample_otp_area(m);
        for (int size = 0; size <= area.size(); ++size) {
            check_OTP_Info(area.left(size));
            check_OTP_Info(area.right(size));
        }
    }

    void listing_from_random_bytes() {
        Mutator m(seed + 7);
        for (int i = 0; i < rounds; ++i) {
            check_listing(QString::fromUtf8(m.random_bytes(600)));
            if (QTest::currentTestFailed())
                return;
        }
    }

    void listing_from_mutated_listings() {
        Mutator m(seed + 8);
        const QVector<QByteArray> fragments{"\n",        "\r\n",          "Found DFU: [0483:df11] ver=2200",
                                            "serial=\"", "\", serial=\"", "name=\"",
                                            "\"",        "0123abcDEF",    QByteArray(1, '\0'),
                                            "\xc3\xa9"};
        for (int i = 0; i < rounds; ++i) {
            QStringList lines = test_listing::device_lines(QString::number(m.below(1 << 30), 16), m.below(6));
            if (m.below(2))
                lines += test_listing::device_lines(QString::number(m.below(1 << 30), 16), m.below(6));
            const QByteArray listing = test_listing::listing(lines).toUtf8();
            check_listing(QString::fromUtf8(m.mutate(listing, fragments)));
            if (QTest::currentTestFailed())
                return;
        }
    }
};

QTEST_GUILESS_MAIN(TestRobustness)
#include "tst_robustness.moc"
