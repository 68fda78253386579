#include "device/otp_info.h"

#include "device_blocks.h"
#include "message_capture.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Device;
using namespace test_blocks;

namespace {

const QByteArray qrmx = bytes({0x03, 0xFF, 0xFF, 0xFF});
const QByteArray tail = bytes({1, 2, 3, 4, 5, 6, 7, 8});

const QString invalid_info_line = QStringLiteral("Device not used, has invalid info in its OTP info.");

} // namespace

class TestOtpInfo : public QObject {
    Q_OBJECT

private slots:
    void blank_areas_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("512 erased bytes") << QByteArray(512, char(0xFF));
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one erased byte") << QByteArray(1, char(0xFF));
    }
    void blank_areas() {
        QFETCH(QByteArray, data);
        MessageCapture capture;
        const OTP_Info info = make_OTP_Info(data);
        QVERIFY(info.blank);
        QVERIFY(!info.valid);
        QCOMPARE(info.product_info, ProductInfo());
        QCOMPARE(info.product_info.raw_type, 0);
        QCOMPARE(info.tail, (std::array<uint8_t, 8>{}));
        QVERIFY(capture.empty());
    }

    void silent_rejections_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("one byte not erased") << otp_area({{100, bytes({0x00})}});
        QTest::newRow("misaligned at 8") << otp_area({{8, otp_record(qrmx)}});
        QTest::newRow("last marker at 497") << otp_area({{497, otp_record(qrmx).left(15)}});
        QTest::newRow("last marker at 508") << otp_area({{508, otp_marker}});
        QTest::newRow("aligned record then misaligned marker")
            << otp_area({{0, otp_record(qrmx)}, {40, otp_marker}});
        QTest::newRow("aligned but beyond 496 in longer data") << otp_area({{512, otp_record(qrmx)}}, 528);
        QTest::newRow("short data, marker at 0") << otp_record(qrmx).left(12);
        QTest::newRow("short data, marker at 16") << otp_record(qrmx) + otp_record(qrmx).left(7);
        QTest::newRow("marker only") << otp_marker;
    }
    void silent_rejections() {
        QFETCH(QByteArray, data);
        MessageCapture capture;
        const OTP_Info info = make_OTP_Info(data);
        QVERIFY(!info.valid);
        QVERIFY(!info.blank);
        QCOMPARE(info.product_info, ProductInfo());
        QCOMPARE(info.tail, (std::array<uint8_t, 8>{}));
        QVERIFY(capture.empty());
    }

    void accepted_offsets_data() {
        QTest::addColumn<int>("offset");
        QTest::newRow("0") << 0;
        QTest::newRow("16") << 16;
        QTest::newRow("480") << 480;
        QTest::newRow("496") << 496;
    }
    void accepted_offsets() {
        QFETCH(int, offset);
        MessageCapture capture;
        const OTP_Info info = make_OTP_Info(otp_area({{offset, otp_record(qrmx, tail)}}));
        QVERIFY(info.valid);
        QVERIFY(!info.blank);
        QCOMPARE(info.product_info.type, Type::QRMX);
        QCOMPARE(info.tail, (std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
        QCOMPARE(info.product_name(), QStringLiteral("Nal-70"));
        QVERIFY(capture.empty());
    }

    void last_record_decides() {
        const QByteArray hrvo = bytes({0x2B, 0xFF, 0xFF, 0xFF});
        const OTP_Info info = make_OTP_Info(otp_area({{0, otp_record(qrmx)}, {16, otp_record(hrvo)}}));
        QVERIFY(info.valid);
        QCOMPARE(info.product_info.type, Type::HRVO);
    }

    void short_data_with_whole_record() {
        const OTP_Info info = make_OTP_Info(otp_record(qrmx, tail));
        QVERIFY(info.valid);
        QCOMPARE(info.product_info.type, Type::QRMX);
    }

    void invalid_types_data() {
        QTest::addColumn<int>("byte");
        QTest::newRow("invalid") << 0x00;
        QTest::newRow("undefined") << 0xFF;
    }
    void invalid_types() {
        QFETCH(int, byte);
        QTest::ignoreMessage(QtInfoMsg, qPrintable(invalid_info_line));
        const OTP_Info info =
            make_OTP_Info(otp_area({{32, otp_record(bytes({uint8_t(byte), 0x01, 0xFF, 0xFF}))}}));
        QVERIFY(!info.valid);
        QVERIFY(!info.blank);
        QCOMPARE(int(info.product_info.type), byte);
        QCOMPARE(info.product_info.ext1, uint8_t(0x01));
    }

    void type_outside_catalogue() {
        QTest::ignoreMessage(QtInfoMsg, "Unknown device type according to OTP info,  "
                                        "\"ProductInfo: unknown (254) [42 ff ff ff]\"");
        const OTP_Info info =
            make_OTP_Info(otp_area({{0, otp_record(bytes({0x42, 0xFF, 0xFF, 0xFF}), tail)}}));
        QVERIFY(!info.valid);
        QVERIFY(!info.blank);
        QCOMPARE(info.product_info.type, Type::invalid);
        QCOMPARE(info.product_info.raw_type, 0x42);
        QCOMPARE(info.tail[7], uint8_t(8));
        QCOMPARE(QString(info),
                 QStringLiteral("OTP info:\nMarker invalid\nProduct: ProductInfo: invalid (0)\n"));
    }

    void text_form() {
        const OTP_Info info = make_OTP_Info(otp_area({{0, otp_record(qrmx)}}));
        QCOMPARE(QString(info), QStringLiteral("OTP info:\nMarker valid\nProduct: ProductInfo: QRMX (3)\n"));
        QString streamed;
        QDebug(&streamed) << info;
        QCOMPARE(streamed, QString(info) + QLatin1Char(' '));
    }

    void reads_files() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("otp.bin"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(otp_area({{64, otp_record(qrmx)}}));
        file.close();
        QVERIFY(make_OTP_Info(path).valid);

        const OTP_Info missing = make_OTP_Info(dir.filePath(QStringLiteral("absent.bin")));
        QVERIFY(!missing.valid);
        QVERIFY(!missing.blank);
        QCOMPARE(missing.product_info, ProductInfo());
    }
};

QTEST_GUILESS_MAIN(TestOtpInfo)
#include "tst_otp_info.moc"
