// The real dfu-util against the emulated bootloader, through the simulator script, for the tool's six
// command lines and the faults that the emulator offers. Every case checks the request log, so a run that
// silently used the real libusb (and found nothing) cannot pass.

#include "sim_fixture.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList const list_args{"-d", "0483", "-l"};
QStringList const otp_args{"-d", "0483", "-a", "2", "-s", "0x1FFF7800:512", "-U"};
QStringList const info_args{"-d", "0483", "-a", "0", "-s", "0x08000000:2048", "-U"};
QStringList const download_args{"-d", "0483", "-a", "0", "-s", "0x08000000:leave", "-D"};
constexpr int image_size = 403300;

QStringList upload_args(int bytes) {
    return {"-d", "0483", "-a", "0", "-s", QString("0x08000000:%1").arg(bytes), "-U"};
}

QStringList found_lines(QString const& output) {
    return output.split('\n').filter(QRegularExpression("^Found DFU: "));
}

QByteArray read_all(QString const& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int devnum(QString const& line) {
    return QRegularExpression("devnum=(\\d+)").match(line).captured(1).toInt();
}

} // namespace

class TestEmulator : public QObject {
    Q_OBJECT

    QTemporaryDir files;
    QString file(QString const& name) const { return files.filePath(name); }

private slots:
    void listing_shows_four_alts_highest_first();
    void listing_without_device_is_empty_success();
    void uploads_return_the_stored_bytes_data();
    void uploads_return_the_stored_bytes();
    void download_then_upload_round_trips_fast();
    void leave_makes_device_vanish_and_return();
    void device_stays_away_without_reenter();
    void faults_data();
    void faults();
    void bad_cell_is_caught_only_by_verification();
    void leave_without_manifest_still_writes_flash();
    void short_upload_truncates_the_file();
    void error_state_is_cleared_at_start();
    void foreign_vendor_is_listed();
    void unplug_and_plug_mid_flow();
    void otp_programs_only_unlocked_blocks();
    void realistic_timing_is_slow_and_fast_mode_is_not();
    void listings_during_a_download_do_not_disturb_it();
};

void TestEmulator::listing_shows_four_alts_highest_first() {
    SimWorld world("old-firmware");
    QVERIFY(world.ok());
    auto run = world.dfu_util("list", list_args);
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(run.errors, QString());
    QStringList lines = found_lines(run.output);
    QCOMPARE(lines.size(), 4);
    QStringList const names{
        "@Device Feature/0xFFFF0000/01*004 e", "@OTP Memory /0x1FFF7800/01*512 e,01*016 e",
        "@Option Bytes  /0x1FFFC000/01*016 e", "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg"};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(lines[i], QString("Found DFU: [0483:df11] ver=2200, devnum=5, cfg=1, intf=0, path=\"1-2\", "
                                   "alt=%1, name=\"%2\", serial=\"325E35633334\"")
                               .arg(3 - i)
                               .arg(names[i]));
    QVERIFY(world.emulator_served("dev0 GET_STRING 3"));
}

void TestEmulator::listing_without_device_is_empty_success() {
    SimWorld world("no-device");
    QVERIFY(world.ok());
    auto run = world.dfu_util("list", list_args);
    QCOMPARE(run.exit_code, 0);
    QVERIFY(found_lines(run.output).isEmpty());
    QVERIFY(world.emulator_served("LIST devices=0"));
    auto upload = world.dfu_util("upload_OTP", otp_args + QStringList{file("none.bin")});
    QCOMPARE(upload.exit_code, 74);
    QVERIFY(upload.errors.contains("No DFU capable USB device available"));
}

void TestEmulator::uploads_return_the_stored_bytes_data() {
    QTest::addColumn<QString>("configuration");
    QTest::addColumn<int>("otp_type");
    QTest::addColumn<QString>("image");
    QTest::newRow("old firmware") << "old-firmware" << 0x8C << "old-firmware";
    QTest::newRow("current firmware") << "current-firmware" << 0x8C << "current-firmware";
    QTest::newRow("other product") << "other-product" << 0x03 << "other-product";
    QTest::newRow("blank OTP") << "blank-otp" << -1 << "old-firmware";
    QTest::newRow("unknown type") << "unknown-type" << 0x42 << "old-firmware";
    QTest::newRow("no firmware") << "no-firmware" << 0x8C << "";
    QTest::newRow("foreign firmware") << "foreign-firmware" << 0x8C << "other-product";
}

void TestEmulator::uploads_return_the_stored_bytes() {
    QFETCH(QString, configuration);
    QFETCH(int, otp_type);
    QFETCH(QString, image);
    SimWorld world(configuration);
    QVERIFY(world.ok());
    QByteArray const expected_otp =
        otp_type < 0 ? QByteArray(512, char(0xFF)) : QByteArray("\x11\x47\x23\x01", 4) + char(otp_type);
    QCOMPARE(world.otp().left(expected_otp.size()), expected_otp);
    QByteArray const expected_flash =
        image.isEmpty() ? QByteArray(2048, char(0xFF)) : read_all(SimWorld::image(image)).left(2048);
    QCOMPARE(world.flash().left(2048), expected_flash);
    QString otp_file = file(configuration + "-otp.bin");
    QString info_file = file(configuration + "-info.bin");
    auto otp = world.dfu_util("upload_OTP", otp_args + QStringList{otp_file});
    QCOMPARE(otp.exit_code, 0);
    QVERIFY(otp.output.contains("Upload done."));
    QCOMPARE(read_all(otp_file), world.otp());
    auto info = world.dfu_util("upload_FW", info_args + QStringList{info_file});
    QCOMPARE(info.exit_code, 0);
    QCOMPARE(read_all(info_file), world.flash().left(2048));
    QVERIFY(world.emulator_served("dev0 UPLOAD 0x1FFF7800 len=512"));
    QVERIFY(world.emulator_served("dev0 UPLOAD 0x08000000 len=2048"));
}

void TestEmulator::download_then_upload_round_trips_fast() {
    SimWorld world("old-firmware");
    QVERIFY(world.ok());
    QString const image = SimWorld::image("current-firmware");
    QByteArray const bytes = read_all(image);
    QCOMPARE(bytes.size(), image_size);
    QVERIFY(world.flash().left(image_size) != bytes);

    QElapsedTimer timer;
    timer.start();
    auto download = world.dfu_util("download_FW", download_args + QStringList{image}, true);
    qint64 const elapsed = timer.elapsed();
    QCOMPARE(download.exit_code, 0);
    QVERIFY(download.output.contains("File downloaded successfully"));
    QVERIFY2(elapsed < 1000, qPrintable(QString("fast download took %1 ms").arg(elapsed)));
    QCOMPARE(world.flash().left(image_size), bytes);
    QCOMPARE(world.log().filter(QRegularExpression(" ERASE 0x")).size(), 8);

    world.dfu_util("list", list_args); // the device re-enters after it was missed by one listing
    QString const uploaded = file("round-trip.bin");
    auto upload = world.dfu_util("upload_FW", upload_args(image_size) + QStringList{uploaded}, true);
    QCOMPARE(upload.exit_code, 0);
    QCOMPARE(read_all(uploaded), bytes);
}

void TestEmulator::leave_makes_device_vanish_and_return() {
    SimWorld world("old-firmware");
    QVERIFY(world.ok());
    int const before = devnum(found_lines(world.dfu_util("list", list_args).output).value(0));
    auto download =
        world.dfu_util("download_FW", download_args + QStringList{SimWorld::image("current-firmware")});
    QCOMPARE(download.exit_code, 0);
    QVERIFY(download.output.contains("Transitioning to dfuMANIFEST state"));
    QVERIFY(found_lines(world.dfu_util("list", list_args).output).isEmpty());
    QStringList back = found_lines(world.dfu_util("list", list_args).output);
    QCOMPARE(back.size(), 4);
    QVERIFY(devnum(back[0]) > before);
    QVERIFY(back[0].contains("path=\"1-2\"") && back[0].contains("serial=\"325E35633334\""));
}

void TestEmulator::device_stays_away_without_reenter() {
    SimWorld world("no-reenter");
    QVERIFY(world.ok());
    QCOMPARE(world.dfu_util("download_FW", download_args + QStringList{SimWorld::image("current-firmware")})
                 .exit_code,
             0);
    for (int i = 0; i < 3; ++i)
        QVERIFY(found_lines(world.dfu_util("list", list_args).output).isEmpty());
    QVERIFY(world.plug());
    QCOMPARE(found_lines(world.dfu_util("list", list_args).output).size(), 4);
}

void TestEmulator::faults_data() {
    QTest::addColumn<QString>("configuration");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("logged");
    QTest::newRow("open denied") << "no-access"
                                 << "upload_OTP" << 74
                                 << "Cannot open DFU device 0483:df11 found on devnum 5 (LIBUSB_ERROR_ACCESS)"
                                 << "OPEN denied";
    QTest::newRow("claim busy") << "claim-busy"
                                << "upload_OTP" << 74 << "Cannot claim interface - LIBUSB_ERROR_BUSY"
                                << "CLAIM busy";
    QTest::newRow("OTP upload stalls")
        << "otp-read-error"
        << "upload_OTP" << 74 << "libusb_control_transfer returned -9 (LIBUSB_ERROR_PIPE)"
        << "STALL";
    QTest::newRow("write fails") << "write-fault"
                                 << "download_FW" << 74 << "Failed to write whole chunk"
                                 << "WRITE 0x08040000 len=2048 status=3";
    QTest::newRow("erase fails") << "erase-fault"
                                 << "download_FW" << 74 << "ERASE_PAGE not correctly executed"
                                 << "GETSTATUS state=10 status=4";
    QTest::newRow("busy for ever") << "busy-forever"
                                   << "download_FW" << 74 << "Device stuck"
                                   << "GETSTATUS state=4";
    QTest::newRow("two devices") << "two-devices"
                                 << "upload_OTP" << 74 << "More than one DFU capable USB device found"
                                 << "LIST devices=2";
    QTest::newRow("transfer timeout") << "transfer-timeout"
                                      << "download_FW" << 74 << "LIBUSB_ERROR_TIMEOUT"
                                      << "TIMEOUT during write at 0x08010000";
    QTest::newRow("disconnect") << "disconnect-mid-download"
                                << "download_FW" << 74 << "LIBUSB_ERROR_NO_DEVICE"
                                << "DISCONNECT during write at 0x08030000";
}

void TestEmulator::faults() {
    QFETCH(QString, configuration);
    QFETCH(QString, command);
    QFETCH(int, exit_code);
    QFETCH(QString, message);
    QFETCH(QString, logged);
    SimWorld world(configuration);
    QVERIFY(world.ok());
    QStringList args = command == "download_FW"
                           ? download_args + QStringList{SimWorld::image("current-firmware")}
                           : otp_args + QStringList{file(configuration + ".bin")};
    auto run = world.dfu_util(command, args);
    QCOMPARE(run.exit_code, exit_code);
    QVERIFY2(run.errors.contains(message) || run.output.contains(message), qPrintable(run.errors));
    QVERIFY(world.emulator_served(logged));
}

void TestEmulator::bad_cell_is_caught_only_by_verification() {
    SimWorld world("bad-cell");
    QVERIFY(world.ok());
    bool parsed = false;
    uint const cell = world.get("dev0", "bad_cell").toUInt(&parsed, 16);
    QVERIFY(parsed);
    QByteArray const image = read_all(SimWorld::image("current-firmware"));
    auto download =
        world.dfu_util("download_FW", download_args + QStringList{SimWorld::image("current-firmware")});
    QCOMPARE(download.exit_code, 0);
    QByteArray const flash = world.flash().left(image.size());
    int const offset = int(cell - 0x08000000);
    QCOMPARE(uchar(flash[offset]), uchar(0xFF));
    QVERIFY(uchar(image[offset]) != 0xFF);
    QCOMPARE(flash.left(offset), image.left(offset));
    QCOMPARE(flash.mid(offset + 1), image.mid(offset + 1));
}

void TestEmulator::leave_without_manifest_still_writes_flash() {
    SimWorld world("leave-no-manifest");
    QVERIFY(world.ok());
    QString const image = SimWorld::image("current-firmware");
    auto download = world.dfu_util("download_FW", download_args + QStringList{image});
    QCOMPARE(download.exit_code, 74);
    QVERIFY(download.errors.contains("Error during download get_status"));
    QCOMPARE(world.flash().left(image_size), read_all(image));
    QVERIFY(world.emulator_served("LEAVE without answer"));
}

void TestEmulator::short_upload_truncates_the_file() {
    SimWorld world("short-upload");
    QVERIFY(world.ok());
    QString const uploaded = file("short.bin");
    auto upload = world.dfu_util("upload_FW", upload_args(image_size) + QStringList{uploaded});
    QCOMPARE(upload.exit_code, 0);
    QCOMPARE(read_all(uploaded), world.flash().left(200000));
}

void TestEmulator::error_state_is_cleared_at_start() {
    SimWorld world("start-in-error");
    QVERIFY(world.ok());
    QString const uploaded = file("after-error.bin");
    auto upload = world.dfu_util("upload_OTP", otp_args + QStringList{uploaded});
    QCOMPARE(upload.exit_code, 0);
    QVERIFY(world.emulator_served("CLRSTATUS"));
    QCOMPARE(read_all(uploaded), world.otp());
}

void TestEmulator::foreign_vendor_is_listed() {
    SimWorld world("foreign-vendor");
    QVERIFY(world.ok());
    QStringList lines = found_lines(world.dfu_util("list", list_args).output);
    QCOMPARE(lines.size(), 8);
    QVERIFY(lines[0].startsWith("Found DFU: [1209:2444]"));
    QVERIFY(lines[4].startsWith("Found DFU: [0483:df11]"));
}

void TestEmulator::unplug_and_plug_mid_flow() {
    SimWorld world("current-firmware");
    QVERIFY(world.ok());
    QVERIFY(world.unplug());
    QVERIFY(found_lines(world.dfu_util("list", list_args).output).isEmpty());
    QVERIFY(world.plug());
    QStringList lines = found_lines(world.dfu_util("list", list_args).output);
    QCOMPARE(lines.size(), 4);
    QCOMPARE(devnum(lines[0]), 6);
}

void TestEmulator::otp_programs_only_unlocked_blocks() {
    SimWorld world("old-firmware");
    QVERIFY(world.ok());
    QByteArray const record = QByteArray("\x11\x47\x23\x01\x03\xFF\xFF\xFF", 8) + QByteArray(8, '\x01');
    QString const record_file = file("record.bin");
    {
        QFile out(record_file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(record);
    }
    QByteArray const before = world.otp();
    auto locked = world.dfu_util("otp", {"-d", "0483", "-a", "2", "-s", "0x1FFF7810", "-D", record_file});
    QCOMPARE(locked.exit_code, 74);
    QVERIFY(locked.errors.contains("Failed to write whole chunk"));
    QCOMPARE(world.otp(), before);

    auto open_block = world.dfu_util("otp", {"-d", "0483", "-a", "2", "-s", "0x1FFF7820", "-D", record_file});
    QCOMPARE(open_block.exit_code, 0);
    QCOMPARE(world.otp().mid(0x20, 16), record);
    QCOMPARE(world.otp().left(0x20), before.left(0x20));
}

void TestEmulator::realistic_timing_is_slow_and_fast_mode_is_not() {
    SimWorld world("old-firmware", false);
    QVERIFY(world.ok());
    QString const small = file("small.bin");
    {
        QFile out(small);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(read_all(SimWorld::image("current-firmware")).left(2048));
    }
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(world.dfu_util("download_FW", download_args + QStringList{small}).exit_code, 0);
    qint64 const realistic = timer.elapsed();
    QVERIFY2(realistic >= 250, qPrintable(QString("realistic download took %1 ms").arg(realistic)));
    QVERIFY(world.emulator_served("GETSTATUS state=4 status=0 poll=100"));

    QVERIFY(world.plug());
    timer.restart();
    QCOMPARE(world.dfu_util("download_FW", download_args + QStringList{small}, true).exit_code, 0);
    qint64 const fast = timer.elapsed();
    QVERIFY2(fast < realistic, qPrintable(QString("fast %1 ms, realistic %2 ms").arg(fast).arg(realistic)));
    QStringList const log = world.log();
    int const plugged = log.lastIndexOf(QRegularExpression(".* PLUG$"));
    QVERIFY(plugged > 0);
    QVERIFY(!log.mid(0, plugged).filter(QRegularExpression("poll=[1-9]")).isEmpty());
    QVERIFY(log.mid(plugged).filter(QRegularExpression("poll=[1-9]")).isEmpty());
}

void TestEmulator::listings_during_a_download_do_not_disturb_it() {
    SimWorld world("old-firmware");
    QVERIFY(world.ok());
    QString const image = SimWorld::image("current-firmware");
    QProcess download;
    download.start(SimWorld::script(),
                   QStringList{"--dfu-util-command", "download_FW"} + download_args + QStringList{image});
    QVERIFY(download.waitForStarted());
    int listings = 0;
    while (download.state() != QProcess::NotRunning && listings < 200) {
        QCOMPARE(world.dfu_util("list", list_args).exit_code, 0);
        ++listings;
    }
    QVERIFY(download.waitForFinished());
    QCOMPARE(download.exitCode(), 0);
    QVERIFY(listings > 0);
    QCOMPARE(world.flash().left(image_size), read_all(image));
}

QTEST_GUILESS_MAIN(TestEmulator)
#include "tst_emulator.moc"
