// The device worker thread against the emulated bootloader, driven by the real dfu-util, with short delays:
// the road of an upgrade, a command that never reaches a unit swapped in after the judgement, and a stop.

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
    return !capture.texts(type).filter(part).isEmpty();
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
    // What the dfu-util of the row can do, handed to each worker.
    DFU::Capabilities capabilities;
    std::unique_ptr<WorkerRecorder> recorder;

    SimWorld& make_world(QString const& configuration) {
        world_holder = std::make_unique<SimWorld>(configuration);
        return *world_holder;
    }

    void start_worker(int idle_ms = 20, int poll_ms = 50, std::function<void()> before_start = {}) {
        worker =
            std::make_unique<SM_A>(Files::external_dir.path() + "/" + Files::desired_FW_fileName_dfu, image,
                                   Files::external_dir.path() + "/" + Files::uploaded_FW_fileName_bin);
        worker->idle_delay_ms = idle_ms;
        worker->poll_delay_ms = poll_ms;
        worker->capabilities = capabilities;
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
        // Without "-n" only the listing right before the write tells the two apart. dfu-util 0.9 is built
        // only where its source is given; its run of this row is a test of its own (tst_worker_dfu_util_0.9).
        if (qEnvironmentVariableIsSet("TEST_DFU_UTIL_0_9"))
            QTest::newRow("download, same serial and port, dfu-util 0.9")
                << int(SM_A::Download) << "same-serial" << false << qEnvironmentVariable("TEST_DFU_UTIL_0_9");
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
            QString const port = world.simctl({"get", "dev0", "ports"}).output.trimmed();
            QVERIFY(world.simctl({"set", "dev1", "ports", port}).exit_code == 0);
            qputenv("DFU_SIM_DFU_UTIL", dfu_util.toLocal8Bit());
            DFU::dfu_util::SelfTest const test = DFU::dfu_util::self_test();
            QVERIFY(!test.version.isNull());
            QVERIFY(!test.capabilities.addresses_by_devnum);
            capabilities = test.capabilities;
        }
        auto const system_dfu_util_again = qScopeGuard([this, &dfu_util] {
            if (!dfu_util.isEmpty()) {
                qunsetenv("DFU_SIM_DFU_UTIL");
                capabilities = {};
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
