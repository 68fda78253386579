// The device worker thread against the emulated bootloader, driven by the real dfu-util, with short delays.

#include "control/sm_a.h"
#include "dfu/dfu_util.h"
#include "dfu/simulator.h"
#include "files/files.h"

#include "message_capture.h"
#include "qt_tsan_suppressions.h"
#include "sim_fixture.h"
#include "test_config.h"
#include "worker_recorder.h"

#include <QFile>
#include <QScopeGuard>
#include <QtTest>
#include <memory>

namespace {

QByteArray read_file(QString const& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The record of a product of another type, for swapping in a device that must never receive F20 firmware.
QByteArray other_product_otp() {
    QByteArray record =
        QByteArray::fromHex("11472301") + QByteArray::fromHex("03FFFFFF") + QByteArray(8, '\0');
    return record.leftJustified(512, char(0xFF));
}

bool logged(MessageCapture const& capture, QtMsgType type, QString const& part) {
    for (QString const& text : capture.texts(type)) {
        if (text.contains(part)) {
            return true;
        }
    }
    return false;
}

int listings(SimWorld const& world) {
    return world.log().filter("LIST").size();
}

} // namespace

class TestWorker : public QObject {
    Q_OBJECT

    QString const image = SimWorld::image("current-firmware");
    // Torn down only after the worker has stopped: it logs and runs dfu-util until then.
    std::unique_ptr<SimWorld> world_holder;
    std::unique_ptr<MessageCapture> capture_holder;
    std::unique_ptr<SM_A> worker;
    std::unique_ptr<WorkerRecorder> recorder;

    SimWorld& make_world(QString const& configuration) {
        world_holder = std::make_unique<SimWorld>(configuration);
        return *world_holder;
    }

    // Two devices: dev0 to be judged, dev1 to be swapped in for it, of the same or another product.
    SimWorld& make_swap_world(bool other_product) {
        SimWorld& world = make_world("two-devices");
        if (other_product) {
            world.write_otp(other_product_otp(), "dev1");
        }
        return world;
    }

    void start_worker(int idle_ms = 20, int poll_ms = 50, std::function<void()> before_start = {}) {
        worker =
            std::make_unique<SM_A>(Files::external_dir.path() + "/" + Files::desired_FW_fileName_dfu, image,
                                   Files::external_dir.path() + "/" + Files::uploaded_FW_fileName_bin);
        worker->idle_delay_ms = idle_ms;
        worker->poll_delay_ms = poll_ms;
        recorder = std::make_unique<WorkerRecorder>(worker.get());
        if (before_start) {
            before_start();
        }
        worker->start();
    }

    int count(QString const& name) const { return recorder->count(name); }
    // The signals recorded after the n-th emission of `name`.
    QStringList after(QString const& name, int n = 0) const {
        QStringList const names = recorder->names();
        int seen = 0;
        for (int i = 0; i < names.size(); ++i) {
            if (names[i] == name && seen++ == n) {
                return names.mid(i + 1);
            }
        }
        return {};
    }

private slots:
    void initTestCase() {
        simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
        QVERIFY(QFile::exists(image));
    }

    void cleanup() {
        if (worker) {
            worker->do_stop();
            QVERIFY(worker->wait(10000));
        }
        recorder.reset();
        worker.reset();
        capture_holder.reset();
        world_holder.reset();
    }

    void init() { capture_holder = std::make_unique<MessageCapture>(); }

    void first_scan_follows_at_once_later_ones_after_the_idle_pause() {
        SimWorld& world = make_world("no-device");
        QVERIFY(world.ok());
        start_worker(300, 50);

        QTRY_VERIFY(count("A2") >= 3);
        QCOMPARE(recorder->names().mid(0, 6), QStringList({"A0", "A1", "NoDevConn", "A2", "scanning", "A0"}));
        QVERIFY(recorder->time_of("A2", 0) - recorder->time_of("A1", 0) < 150);
        QVERIFY(recorder->time_of("A2", 1) - recorder->time_of("A1", 1) >= 290);
        QVERIFY(recorder->time_of("A2", 2) - recorder->time_of("A1", 2) >= 290);
        QCOMPARE(count("readingInfo"), 0);
    }

    void attached_device_is_read_once() {
        SimWorld& world = make_world("old-firmware");
        QVERIFY(world.ok());
        start_worker();

        QTRY_VERIFY(after("DevConn").count("A2") >= 3);
        QCOMPARE(recorder->names().mid(0, 12),
                 QStringList({"A0", "A1", "NoDevConn", "A2", "scanning", "readingInfo", "NoDevConn",
                              "DevConn", "A4", "A2", "scanning", "A4"}));
        QCOMPARE(count("readingInfo"), 1);
        QCOMPARE(count("DevConn"), 1);
        QCOMPARE(count("A0"), 1);
        DFU::DeviceInfo const info = worker->device_info_snapshot();
        QVERIFY(info.valid);
        QCOMPARE(info.FW_revision, QString("2.6.3"));
        QCOMPARE(info.read_count, 1);
    }

    void replaced_device_is_read_without_passing_A0() {
        SimWorld& world = make_world("two-devices");
        QVERIFY(world.ok());
        QVERIFY(world.unplug("dev1"));
        world.write_otp(other_product_otp(), "dev1");
        start_worker();
        QTRY_COMPARE(count("DevConn"), 1);

        recorder->on_worker_thread("A4", 1, [&world] {
            world.unplug("dev0");
            world.plug("dev1");
        });

        QTRY_COMPARE(count("DevConn"), 2);
        QStringList const between = after("DevConn").mid(0, after("DevConn").indexOf("DevConn") + 1);
        QVERIFY(!between.contains("A0"));
        QCOMPARE(between.mid(between.size() - 6),
                 QStringList({"A4", "A2", "scanning", "readingInfo", "NoDevConn", "DevConn"}));
        DFU::DeviceInfo const info = worker->device_info_snapshot();
        QCOMPARE(int(info.device_type), 0x03);
        QVERIFY2(info.FW_revision.isEmpty(), "the earlier device's revision must not survive the swap");
        QCOMPARE(info.read_count, 2);
    }

    void two_devices_count_as_none_until_one_leaves() {
        SimWorld& world = make_world("two-devices");
        QVERIFY(world.ok());
        start_worker();

        QTRY_VERIFY(count("NoDevConn") >= 3);
        QCOMPARE(count("readingInfo"), 0);
        QVERIFY(world.unplug("dev1"));

        QTRY_COMPARE(count("DevConn"), 1);
        QCOMPARE(count("readingInfo"), 1);
    }

    void failed_read_waits_in_A7_and_reads_again_after_replugging() {
        SimWorld& world = make_world("otp-read-error");
        QVERIFY(world.ok());
        MessageCapture const& capture = *capture_holder;
        start_worker();

        QTRY_COMPARE(count("A7"), 1);
        QCOMPARE(after("readingInfo").mid(0, 4), QStringList({"NoDevConn", "DeviceError", "A7", "scanning"}));
        QCOMPARE(recorder->device_errors().size(), 1);
        QVERIFY2(recorder->device_errors().first().contains("LIBUSB_ERROR_PIPE"),
                 qPrintable(recorder->device_errors().first()));
        QVERIFY(logged(capture, QtInfoMsg, "Exit with"));
        int const listed = listings(world);
        QTRY_VERIFY(listings(world) >= listed + 3);
        QCOMPARE(count("readingInfo"), 1);
        QCOMPARE(count("A0"), 1);

        QVERIFY(world.unplug());
        QTRY_VERIFY(count("A0") >= 2);
        QVERIFY(world.plug());
        QTRY_COMPARE(count("DeviceError"), 2);
        QCOMPARE(count("readingInfo"), 2);
    }

    void download_is_followed_by_a_new_read_of_the_same_serial() {
        SimWorld& world = make_world("old-firmware");
        QVERIFY(world.ok());
        MessageCapture const& capture = *capture_holder;
        start_worker();
        QTRY_COMPARE(count("DevConn"), 1);

        worker->set_command(SM_A::Download, worker->device_info_snapshot().read_count);

        QTRY_COMPARE(count("DevConn"), 2);
        QStringList since_download = after("A5");
        // Progress comes from dfu-util's own bar, in the write and in no other place of this sequence.
        QVERIFY(since_download.indexOf("Progress") > since_download.indexOf("FwDownloading"));
        QVERIFY(since_download.lastIndexOf("Progress") < since_download.indexOf("FwDownloaded"));
        since_download.removeAll("Progress");
        QCOMPARE(since_download.mid(0, 5),
                 QStringList({"FwDownloading", "FwDownloaded", "A0", "A1", "NoDevConn"}));
        QCOMPARE(since_download.count("readingInfo"), 1);
        QByteArray const bytes = read_file(image);
        QCOMPARE(world.flash().left(bytes.size()), bytes);
        DFU::DeviceInfo const info = worker->device_info_snapshot();
        QCOMPARE(info.FW_revision, QString("2.7.0"));
        QCOMPARE(info.read_count, 2);

        worker->set_command(SM_A::UploadAndVerify, info.read_count);

        QTRY_COMPARE(count("FwUploadedMatches"), 1);
        QStringList since_read_back = after("A6");
        QVERIFY(since_read_back.count("Progress") >= 2);
        since_read_back.removeAll("Progress");
        QCOMPARE(since_read_back.mid(0, 2), QStringList({"FwUploading", "FwUploadedMatches"}));
        QVERIFY(capture.texts(QtDebugMsg).contains("Uploaded FW matches"));
        QTRY_VERIFY(after("FwUploadedMatches").count("A2") >= 2);
        QCOMPARE(count("readingInfo"), 2);
        QCOMPARE(worker->get_command(), SM_A::None);
    }

    // A second unit written while the first has not come back does not take the first one's place: the
    // first stays tracked until it is told as not verified, and a look at the bus says it is absent.
    void every_written_unit_stays_tracked() {
        SimWorld& world = make_world("two-devices");
        QVERIFY(world.ok());
        QVERIFY(world.unplug("dev1"));
        QVERIFY(world.set("dev0", "reenter", "0"));
        start_worker();
        QTRY_COMPARE(count("DevConn"), 1);
        DFU::DeviceItem const first = worker->device_info_snapshot().unit;
        worker->set_command(SM_A::Download, worker->device_info_snapshot().read_count);
        QTRY_COMPARE(count("FwDownloaded"), 1);
        QVERIFY(world.plug("dev1"));

        QTRY_COMPARE(count("DevConn"), 2);
        QCOMPARE(count("OtherUnitThanWritten"), 1);
        DFU::DeviceItem const second = worker->device_info_snapshot().unit;
        worker->set_command(SM_A::Download, worker->device_info_snapshot().read_count);
        QTRY_COMPARE(count("DevConn"), 3);
        QCOMPARE(worker->units_awaiting_verification().size(), 2);
        worker->set_command(SM_A::UploadAndVerify, worker->device_info_snapshot().read_count);
        QTRY_COMPARE(count("FwUploadedMatches"), 1);

        QVector<DFU::DeviceItem> const left = worker->units_awaiting_verification();
        QCOMPARE(left.size(), 1);
        QVERIFY(left.first().same_unit(first));
        QVERIFY(!left.first().same_unit(second));
        QVERIFY(worker->awaits_other_unit_than(second));
        QCOMPARE(count("WrittenUnitsAbsent"), 0);
        worker->look_for_written_units();
        QTRY_COMPARE(count("WrittenUnitsAbsent"), 1);
        worker->forget_units_awaiting_verification();
        QVERIFY(!worker->awaits_other_unit_than(second));
    }

    void command_for_a_swapped_device_is_dropped_data() {
        QTest::addColumn<bool>("other_product");
        QTest::newRow("same product") << false;
        QTest::newRow("another product") << true;
    }
    void command_for_a_swapped_device_is_dropped() {
        QFETCH(bool, other_product);
        SimWorld& world = make_swap_world(other_product);
        QVERIFY(world.ok());
        QVERIFY(world.unplug("dev1"));
        QByteArray const flash0 = world.flash("dev0");
        QByteArray const flash1 = world.flash("dev1");
        MessageCapture const& capture = *capture_holder;
        start_worker();
        QTRY_COMPARE(count("DevConn"), 1);
        int const judged_read = worker->device_info_snapshot().read_count;

        // Ordered while the worker is between its pause and the next scan, which finds the other device.
        recorder->on_worker_thread("A2", 1, [this, &world, judged_read] {
            worker->set_command(SM_A::Download, judged_read);
            world.unplug("dev0");
            world.plug("dev1");
        });

        QTRY_VERIFY(logged(
            capture, QtInfoMsg,
            "SM_A: dropping command Download ordered for device read 1, the current device read is 2"));
        QTRY_VERIFY(after("DevConn", 1).count("A2") >= 2);
        QCOMPARE(count("FwDownloading"), 0);
        QCOMPARE(world.flash("dev0"), flash0);
        QCOMPARE(world.flash("dev1"), flash1);
    }

    // The swap happens after the last scan that saw the judged device, during the pause before the command
    // is taken up. The command names the unit that was read, so dfu-util finds no such unit and touches
    // neither; the unit swapped in is read afresh.
    void command_for_a_device_swapped_during_the_pause_is_dropped_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<bool>("other_product");
        QTest::addColumn<QString>("dfu_util"); // empty: the system's
        QTest::newRow("download, same product") << int(SM_A::Download) << "two-devices" << false << "";
        QTest::newRow("download, another product") << int(SM_A::Download) << "two-devices" << true << "";
        QTest::newRow("download, same serial") << int(SM_A::Download) << "same-serial" << false << "";
        // Without "-n" only the listing right before the write tells the two apart.
        QTest::newRow("download, same serial and port, dfu-util 0.9")
            << int(SM_A::Download) << "same-serial" << false << TEST_DFU_UTIL_0_9;
        QTest::newRow("verification") << int(SM_A::UploadAndVerify) << "two-devices" << false << "";
    }
    void command_for_a_device_swapped_during_the_pause_is_dropped() {
        QFETCH(int, command);
        QFETCH(QString, configuration);
        QFETCH(bool, other_product);
        QFETCH(QString, dfu_util);
        SimWorld& world = make_world(configuration);
        if (other_product) {
            world.write_otp(other_product_otp(), "dev1");
        }
        QVERIFY(world.ok());
        QVERIFY(world.unplug("dev1"));
        if (!dfu_util.isEmpty()) {
            QVERIFY(world.set("dev1", "ports", world.get("dev0", "ports")));
            qputenv("DFU_SIM_DFU_UTIL", dfu_util.toLocal8Bit());
            QVERIFY(!DFU::dfu_util::self_test().version.isNull());
            QVERIFY(!DFU::dfu_util::addresses_by_devnum());
        }
        auto const system_dfu_util_again = qScopeGuard([&dfu_util] {
            if (!dfu_util.isEmpty()) {
                qunsetenv("DFU_SIM_DFU_UTIL");
                DFU::dfu_util::self_test();
            }
        });
        QByteArray const flash0 = world.flash("dev0");
        QByteArray const flash1 = world.flash("dev1");
        MessageCapture const& capture = *capture_holder;
        start_worker();
        QTRY_COMPARE(count("DevConn"), 1);
        int const judged_read = worker->device_info_snapshot().read_count;

        recorder->on_worker_thread("A4", 1, [this, &world, command, judged_read] {
            worker->set_command(SM_A::Command(command), judged_read);
            world.unplug("dev0");
            world.plug("dev1");
        });

        if (command == SM_A::Download) {
            QTRY_VERIFY(logged(capture, QtInfoMsg,
                               "SM_A: dropping command Download because the unit it was ordered for is no "
                               "longer attached"));
        } else {
            QTRY_COMPARE(count("FwUploadIncomplete"), 1);
        }
        QTRY_COMPARE(count("DevConn"), 2);
        QCOMPARE(count("FwDownloaded"), 0);
        QCOMPARE(count("FwUploadedMatches") + count("FwUploadedDiffers"), 0);
        QCOMPARE(world.flash("dev0"), flash0);
        QCOMPARE(world.flash("dev1"), flash1);
        QVERIFY(world.log().filter(" ERASE ").isEmpty());
    }

    void command_dies_when_its_device_leaves_data() {
        QTest::addColumn<QString>("ordered_at");
        QTest::addColumn<QString>("dropped_line");
        QTest::newRow("pending when the device leaves")
            << "A2"
            << "SM_A: dropping pending command Download because the device left the listing";
        QTest::newRow("ordered while the device is read anew")
            << "readingInfo"
            << "SM_A: dropping command Download ordered for device read 1, the current device read is 2";
    }
    void command_dies_when_its_device_leaves() {
        QFETCH(QString, ordered_at);
        QFETCH(QString, dropped_line);
        SimWorld& world = make_world("old-firmware");
        QVERIFY(world.ok());
        QByteArray const flash = world.flash();
        MessageCapture const& capture = *capture_holder;
        start_worker();
        QTRY_COMPARE(count("DevConn"), 1);

        recorder->on_worker_thread("A2", 1, [&world] { world.unplug(); });
        recorder->on_worker_thread(ordered_at, 1, [this] { worker->set_command(SM_A::Download, 1); });
        QTRY_VERIFY(count("A0") >= 2);
        QVERIFY(world.plug());

        QTRY_COMPARE(count("DevConn"), 2);
        QTRY_VERIFY(logged(capture, QtInfoMsg, dropped_line));
        QTRY_VERIFY(after("DevConn", 1).count("A2") >= 2);
        QCOMPARE(count("FwDownloading"), 0);
        QCOMPARE(world.flash(), flash);
    }

    void debug_output_logs_a_run_of_polling_signals_once() {
        SimWorld& world = make_world("old-firmware");
        QVERIFY(world.ok());
        QVERIFY(world.unplug());
        MessageCapture const& capture = *capture_holder;
        worker = std::make_unique<SM_A>("", image,
                                        Files::external_dir.path() + "/" + Files::uploaded_FW_fileName_bin);
        worker->idle_delay_ms = 20;
        worker->poll_delay_ms = 50;
        worker->enable_debug_output();
        recorder = std::make_unique<WorkerRecorder>(worker.get());
        worker->start();
        QTRY_VERIFY(count("A2") >= 3);
        QVERIFY(world.plug());
        QTRY_VERIFY(after("DevConn").count("A2") >= 3);

        QStringList lines;
        for (QString const& text : capture.texts(QtDebugMsg)) {
            if (text.contains("/sig_")) {
                lines << text;
            }
        }
        QCOMPARE(lines, QStringList({"\"SM_A: /sig_NoDevConn\"", "\"SM_A: /sig_readingInfo\"",
                                     "\"SM_A: /sig_NoDevConn\"", "\"SM_A: /sig_DevConn\"",
                                     "\"SM_A: /sig_scanning\""}));
        QVERIFY(capture.texts(QtInfoMsg).contains(
            "SM_A: Adding connections to show debug output (state transitions)"));
    }

    void stop_ends_the_pause_of_A4_at_once() {
        SimWorld& world = make_world("old-firmware");
        QVERIFY(world.ok());
        QByteArray const flash = world.flash();
        start_worker(20, 60000);
        QTRY_COMPARE(count("A4"), 1);
        worker->set_command(SM_A::Download, worker->device_info_snapshot().read_count);

        worker->do_stop();

        QVERIFY(worker->wait(5000));
        QCOMPARE(recorder->names().last(), QString("A4"));
        QCOMPARE(world.flash(), flash);
    }

    void stop_ends_the_wait_of_A7_at_once() {
        SimWorld& world = make_world("otp-read-error");
        QVERIFY(world.ok());
        start_worker(20, 60000);
        QTRY_COMPARE(count("A7"), 1);

        worker->do_stop();

        QVERIFY(worker->wait(5000));
        QCOMPARE(recorder->names().last(), QString("scanning"));
    }

    // A listing, unlike a write, is ended at once by a stop.
    void stop_during_a_scan_ends_it() {
        SimWorld& world = make_world("old-firmware");
        QVERIFY(world.ok());
        start_worker(20, 60000,
                     [this] { recorder->on_worker_thread("scanning", 1, [this] { worker->do_stop(); }); });

        QVERIFY(worker->wait(5000));
        QCOMPARE(recorder->names(), QStringList({"A0", "A1", "NoDevConn", "A2", "scanning"}));
        QVERIFY(listings(world) <= 1);
    }
};

QTEST_GUILESS_MAIN(TestWorker)
#include "tst_worker.moc"
