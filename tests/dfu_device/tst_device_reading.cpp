// Reading a device and verifying its firmware with the real dfu-util against the emulated bootloader.

#include "dfu/device_info.h"
#include "dfu/firmware_transfer.h"
#include "dfu/simulator.h"
#include "files/files.h"

#include "message_capture.h"
#include "sim_fixture.h"

#include <QFile>
#include <QtTest>

namespace {

QString in_external_dir(QString const& name) {
    return Files::external_dir.path() + "/" + name;
}

QByteArray read_file(QString const& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void write_file(QString const& path, QByteArray const& bytes) {
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(bytes);
}

bool any_contains(QStringList const& texts, QString const& part) {
    for (QString const& text : texts) {
        if (text.contains(part)) {
            return true;
        }
    }
    return false;
}

DFU::DeviceItem const device{"325E35633334", "", ""};

} // namespace

class TestDeviceReading : public QObject {
    Q_OBJECT

    QString const image = SimWorld::image("current-firmware");
    QString const upload_path = in_external_dir(Files::uploaded_FW_fileName_bin);

    // Reads back from the unit as the listing now names it.
    DFU::Verification verify() {
        DFU::ScanResult const scan = DFU::make_scan();
        return DFU::upload_and_compare_FW_bin(image, upload_path, scan.devices.value(0, device));
    }

private slots:
    void initTestCase() {
        simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
        QVERIFY(Files::external_dir.isValid());
        QVERIFY(QFile::exists(image));
    }

    void reads_product_and_firmware_data() {
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<int>("device_type");
        QTest::addColumn<QString>("revision");
        QTest::addColumn<bool>("blank");
        QTest::addColumn<bool>("mismatch");
        QTest::newRow("right product, older revision") << "old-firmware" << 0x8C << "2.6.3" << false << false;
        QTest::newRow("right product, same revision")
            << "current-firmware" << 0x8C << "2.7.0" << false << false;
        QTest::newRow("another product") << "other-product" << 0x03 << "1.4.2" << false << false;
        QTest::newRow("blank OTP") << "blank-otp" << 0 << "" << true << true;
        QTest::newRow("unknown type byte") << "unknown-type" << 0 << "" << false << true;
        QTest::newRow("flash without a firmware block") << "no-firmware" << 0x8C << "" << false << true;
        QTest::newRow("firmware of another product") << "foreign-firmware" << 0x8C << "" << false << true;
    }
    void reads_product_and_firmware() {
        QFETCH(QString, configuration);
        QFETCH(int, device_type);
        QFETCH(QString, revision);
        QFETCH(bool, blank);
        QFETCH(bool, mismatch);
        SimWorld world(configuration);
        QVERIFY(world.ok());
        MessageCapture capture;

        DFU::DeviceInfo info;
        DFU::CommandResult const result = DFU::read_device_info(&device, &info);

        QCOMPARE(result.exit_code, 0);
        QVERIFY(info.valid);
        QCOMPARE(int(info.device_type), device_type);
        QCOMPARE(info.FW_revision, revision);
        QCOMPARE(info.OTP_info.blank, blank);
        QCOMPARE(info.FW_info.valid, !mismatch);
        QCOMPARE(result.output.contains("FW assumed invalid because of product type mismatch."), mismatch);
        QCOMPARE(any_contains(capture.texts(QtInfoMsg), "OTP is blank.\n"), blank);
        // The OTP block's text form is logged as a string item: quoted, its line feeds escaped.
        QString otp_line = QString(info.OTP_info);
        QVERIFY(capture.texts(QtInfoMsg).contains('"' + otp_line.replace('\n', "\\n") + '"'));
        if (mismatch) {
            // The block as read from the device, before the product check cleared its validity.
            Device::FW_Info const read =
                Device::make_FW_Info(in_external_dir(Files::uploaded_FW_info_fileName_bin));
            QVERIFY(result.output.endsWith(
                "FW assumed invalid because of product type mismatch.\nOTP contains" +
                QString(info.OTP_info.product_info) + "\nwhereas FW contains\n" + QString(read)));
            QVERIFY(any_contains(capture.texts(QtInfoMsg),
                                 "FW assumed invalid because of product type mismatch."));
        } else {
            QVERIFY(capture.texts(QtInfoMsg).contains(QString(info)));
        }
        QVERIFY(world.emulator_served("UPLOAD"));
    }

    // Both blocks are the default, so they name the same product; the revision stays empty.
    void blank_OTP_and_flash_without_a_block() {
        SimWorld world("blank-otp");
        QVERIFY(world.ok());
        world.write_flash(QByteArray());
        MessageCapture capture;

        DFU::DeviceInfo info;
        DFU::CommandResult const result = DFU::read_device_info(&device, &info);

        QCOMPARE(result.exit_code, 0);
        QVERIFY(info.valid);
        QVERIFY(info.OTP_info.blank);
        QCOMPARE(int(info.device_type), 0);
        QVERIFY(!info.FW_info.valid);
        QVERIFY(info.FW_revision.isEmpty());
        QVERIFY(!result.output.contains("mismatch"));
        QVERIFY(capture.texts(QtInfoMsg).contains("DeviceInfo:\n\tDevice type:\t0\n\tFW_revision:\t\n"));
    }

    void failed_OTP_upload_reaches_the_caller() {
        SimWorld world("otp-read-error");
        QVERIFY(world.ok());
        QFile::remove(in_external_dir(Files::uploaded_FW_info_fileName_bin));
        MessageCapture capture;

        DFU::DeviceInfo info;
        DFU::CommandResult const result = DFU::read_device_info(&device, &info);

        QCOMPARE(result.exit_code, 74);
        QVERIFY2(result.output.startsWith("dfu-util 0.11"), qPrintable(result.output));
        QVERIFY(!info.valid);
        QVERIFY(any_contains(capture.texts(QtInfoMsg), "Exit with"));
        QVERIFY2(!QFile::exists(in_external_dir(Files::uploaded_FW_info_fileName_bin)),
                 "no firmware block may be read after a failed OTP upload");
    }

    void stale_info_file_is_never_parsed() {
        SimWorld world("current-firmware");
        QVERIFY(world.ok());
        QString const info_path = in_external_dir(Files::uploaded_FW_info_fileName_bin);
        write_file(info_path, read_file(image).left(2048));
        QVERIFY(Device::make_FW_Info(info_path).valid);
        QVERIFY(world.set("dev0", "upload_stall_alt", "0"));

        DFU::DeviceInfo info;
        DFU::CommandResult const result = DFU::read_device_info(&device, &info);

        QVERIFY2(result.exit_code != 0, "a firmware block that cannot be read fails the whole read");
        QVERIFY(!info.valid);
        QVERIFY(info.FW_revision.isNull());
    }

    void download_then_read_back_matches() {
        SimWorld world("old-firmware");
        QVERIFY(world.ok());
        QByteArray const bytes = read_file(image);

        QCOMPARE(DFU::download_FW_to_device(image, device).exit_code, 0);
        QCOMPARE(world.flash().left(bytes.size()), bytes);
        // The device leaves DFU mode and comes back once a listing has missed it.
        QTRY_COMPARE(DFU::make_scan().error, 0);

        QCOMPARE(verify(), DFU::Verification::matches);
        QCOMPARE(read_file(upload_path), bytes);
    }

    void cell_that_does_not_program_fails_verification() {
        SimWorld world("bad-cell");
        QVERIFY(world.ok());
        DFU::download_FW_to_device(image, device);
        QTRY_COMPARE(DFU::make_scan().error, 0);

        QCOMPARE(verify(), DFU::Verification::differs);
        QCOMPARE(DFU::size_of_binary_file(upload_path), DFU::size_of_binary_file(image));
    }

    // A read-back cut short tells nothing about the flash: never "differs".
    void short_upload_is_not_a_verdict() {
        SimWorld world("short-upload");
        QVERIFY(world.ok());

        QCOMPARE(verify(), DFU::Verification::unknown);
        QCOMPARE(DFU::size_of_binary_file(upload_path), 200000);
    }

    void failed_upload_never_compares_a_stale_file() {
        SimWorld world("current-firmware");
        QVERIFY(world.ok());
        write_file(upload_path, read_file(image));
        QVERIFY(world.set("dev0", "upload_stall_alt", "0"));

        QCOMPARE(verify(), DFU::Verification::unknown);
        QVERIFY(read_file(upload_path) != read_file(image));
    }
};

QTEST_GUILESS_MAIN(TestDeviceReading)
#include "tst_device_reading.moc"
