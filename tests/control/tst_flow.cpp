// The upgrade flow machine driven by the real worker, the real dfu-util and the emulated bootloader, with
// a test standing in for the user where the window would offer the install button.

#include "control/sm_a.h"
#include "control/sm_b.h"
#include "dfu/simulator.h"
#include "files/files.h"

#include "flow_helpers.h"
#include "message_capture.h"
#include "qt_tsan_suppressions.h"
#include "sim_fixture.h"
#include "worker_recorder.h"

#include <QFile>
#include <QTimer>
#include <QtTest>
#include <memory>

namespace {

QStringList const start = {"UpgradeImpossible", "B1", "NoDevConn"};
QStringList const offer = {"DevConn", "DeviceConnected", "UpgradePossible", "DifferingRevision", "B2"};
QStringList const download = {"DoDownload", "B3", "NoDevConn", "UpgradeImpossible", "B1", "NoDevConn"};
QStringList const verify = {"DevConn", "DeviceConnected", "UploadingVerifying", "B4"};
QStringList const matches = {"FwUploadedMatches", "FwMatches", "B6"};
QStringList const differs = {"FwUploadedDiffers", "UpgradePossible", "FwDiffers", "B7"};
QStringList const unverified = {"FwUploadIncomplete", "UpgradeImpossible", "B1"};

int trace_lines(QString const& text) {
    return text.count("device_has_valid_type(");
}

// The course so far, with the polling that may follow the last state left out.
QStringList course(QStringList sequence) {
    if (!sequence.isEmpty() && sequence.last() == "NoDevConn" && sequence.count("B1") > 1) {
        sequence.removeLast();
    }
    return sequence;
}

} // namespace

class TestFlow : public QObject {
    Q_OBJECT

    QString const image = SimWorld::image("current-firmware");
    std::unique_ptr<SimWorld> world;
    std::unique_ptr<MessageCapture> capture;
    std::unique_ptr<SM_A> worker;
    std::unique_ptr<WorkerRecorder> worker_record;
    std::unique_ptr<FlowRecorder> flow;
    std::unique_ptr<SM_B> machine;
    int clicks_left = 0;

    // The worker, its records and the machine, wired as start-up does; nothing runs before run().
    void build(QString const& configuration, int clicks) {
        world = std::make_unique<SimWorld>(configuration);
        QVERIFY(world->ok());
        worker = std::make_unique<SM_A>("", image,
                                        Files::external_dir.path() + "/" + Files::uploaded_FW_fileName_bin);
        worker->idle_delay_ms = 20;
        worker->poll_delay_ms = 50;
        sm_A = worker.get();
        worker_record = std::make_unique<WorkerRecorder>(worker.get());
        flow = std::make_unique<FlowRecorder>(worker.get());
        machine = std::make_unique<SM_B>(worker.get(), Device::Type::SOLK, "2.7.0");
        flow->watch(machine.get());
        clicks_left = clicks;
        for (QState* offering : {machine->B2, machine->B7}) {
            connect(offering, &QState::entered, machine.get(), [this] {
                if (clicks_left-- > 0) {
                    QTimer::singleShot(0, machine.get(), &SM_B::do_download);
                }
            });
        }
        connect(machine.get(), &QStateMachine::started, worker.get(), [this] { worker->start(); });
    }

    void run() { machine->start(); }

private slots:
    void initTestCase() {
        simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
        QVERIFY(QFile::exists(image));
    }

    void init() { capture = std::make_unique<MessageCapture>(); }

    void cleanup() {
        if (worker) {
            worker->do_stop();
            QVERIFY(worker->wait(10000));
        }
        if (machine) {
            machine->stop();
        }
        machine.reset();
        flow.reset();
        worker_record.reset();
        worker.reset();
        sm_A = nullptr;
        capture.reset();
        world.reset();
    }

    void course_from_start_to_verdict_data() {
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("traces");
        QTest::newRow("old firmware, upgraded")
            << "old-firmware" << 1 << start + offer + download + verify + matches << 5;
        QTest::newRow("old firmware, no click") << "old-firmware" << 0 << start + offer << 2;
        QTest::newRow("current firmware, verified")
            << "current-firmware" << 0 << start + verify + matches << 3;
        QTest::newRow("another product")
            << "other-product" << 0
            << start + QStringList({"DevConn", "DeviceConnected", "InvalidProduct", "B8"}) << 1;
        QTest::newRow("unknown type byte")
            << "unknown-type" << 0
            << start + QStringList({"DevConn", "DeviceConnected", "InvalidProduct", "B8"}) << 1;
        QTest::newRow("blank product record")
            << "blank-otp" << 0
            << start +
                   QStringList({"DevConn", "DeviceConnected", "UpgradeImpossible", "DifferingRevision", "B9"})
            << 0;
        QTest::newRow("no firmware block")
            << "no-firmware" << 1 << start + offer + download + verify + matches << 5;
        QTest::newRow("another product's firmware")
            << "foreign-firmware" << 1 << start + offer + download + verify + matches << 5;
        QTest::newRow("leave without manifest answer")
            << "leave-no-manifest" << 1 << start + offer + download + verify + matches << 5;
        QTest::newRow("write fault") << "write-fault" << 1 << start + offer + download + verify + differs
                                     << 5;
        QTest::newRow("cell that does not program")
            << "bad-cell" << 1 << start + offer + download + verify + differs << 5;
        QTest::newRow("short upload") << "short-upload" << 0 << start + verify + unverified << 3;
        QTest::newRow("DFU device of another vendor beside it")
            << "foreign-vendor" << 1 << start + offer + download + verify + matches << 5;
        QTest::newRow("disconnect during the download")
            << "disconnect-mid-download" << 1 << start + offer + download + verify + differs << 5;
        QTest::newRow("erase fault") << "erase-fault" << 1 << start + offer + download + offer << 4;
        QTest::newRow("bootloader starting in its error state")
            << "start-in-error" << 1 << start + offer + download + verify + matches << 5;
        QTest::newRow("device that does not come back")
            << "no-reenter" << 1 << start + offer + download.mid(0, download.size() - 1) << 2;
    }
    void course_from_start_to_verdict() {
        QFETCH(QString, configuration);
        QFETCH(int, clicks);
        QFETCH(QStringList, expected);
        QFETCH(int, traces);
        StdoutCapture out;
        build(configuration, clicks);
        run();

        QTRY_VERIFY_WITH_TIMEOUT(flow->sequence.size() >= expected.size() && flow->current == expected.last(),
                                 30000);
        // Whatever follows the verdict while the device stays must not change the state.
        int const listed = world->log().filter("LIST").size();
        QTRY_VERIFY(world->log().filter("LIST").size() >= listed + 3);
        QCOMPARE(course(flow->sequence), expected);
        QCOMPARE(trace_lines(out.text()), traces);
    }

    void no_usable_device_stays_in_B1_data() {
        QTest::addColumn<QString>("configuration");
        QTest::newRow("no device") << "no-device";
        QTest::newRow("two devices") << "two-devices";
        QTest::newRow("OTP read error") << "otp-read-error";
        QTest::newRow("access denied") << "no-access";
        QTest::newRow("interface claimed by another program") << "claim-busy";
        QTest::newRow("bootloader busy for ever") << "busy-forever";
        QTest::newRow("second device with the same serial") << "same-serial";
    }
    void no_usable_device_stays_in_B1() {
        QFETCH(QString, configuration);
        build(configuration, 1);
        run();

        QTRY_VERIFY(world->log().filter("LIST").size() >= 4);
        QCOMPARE(flow->sequence, start);
        QCOMPARE(flow->current, QString("B1"));
    }

    void trace_lines_go_to_standard_output_in_the_guards_format() {
        StdoutCapture out;
        build("other-product", 0);
        run();
        QTRY_COMPARE(flow->current, QString("B8"));
        QCOMPARE(out.text(), QString("device_has_valid_type(140): valid 1, device_type: 3\n"));
    }

    void install_clicked_while_upgrading_is_ignored() {
        build("old-firmware", 1);
        connect(machine->B3, &QState::entered, machine.get(), [this] { machine->do_download(); });
        run();

        QTRY_COMPARE_WITH_TIMEOUT(flow->current, QString("B6"), 30000);
        QCOMPARE(flow->sequence.mid(start.size() + offer.size(), 3),
                 QStringList({"DoDownload", "B3", "DoDownload"}));
        QCOMPARE(flow->sequence.count("B3"), 1);
        QCOMPARE(worker_record->count("FwDownloading"), 1);
    }

    void verified_device_keeps_B6_until_it_goes() {
        build("current-firmware", 0);
        run();
        QTRY_COMPARE(flow->current, QString("B6"));
        int const scans = worker_record->count("A2");
        QTRY_VERIFY(worker_record->count("A2") >= scans + 5);
        QCOMPARE(flow->current, QString("B6"));

        QVERIFY(world->unplug());

        QTRY_COMPARE(flow->current, QString("B1"));
        QCOMPARE(flow->sequence.mid(flow->sequence.indexOf("B6") + 1, 3),
                 QStringList({"NoDevConn", "UpgradeImpossible", "B1"}));
    }

    // The GUI thread judges the device only after the worker has finished its pause: the device is gone
    // before the verification can be taken up, so the worker drops it and B4 must not wait for a result.
    void device_pulled_in_B4_before_the_verification_was_taken_up() {
        build("current-firmware", 0);
        Gate gui_parked;
        Gate gui_may_judge;
        Gate worker_may_scan;
        // Runs before sig_DevConn is queued for the GUI thread, which must not see it yet.
        worker_record->on_worker_thread("DevConn", 1, [&] { gui_parked.wait(); });
        worker_record->on_worker_thread("A2", 2, [&] {
            world->unplug();
            gui_may_judge.open();
            worker_may_scan.wait();
        });
        connect(machine->B4, &QState::entered, machine.get(), [&] { worker_may_scan.open(); });
        run();
        QTRY_VERIFY(worker->isRunning());
        gui_parked.open();
        QVERIFY(gui_may_judge.wait());

        QTRY_COMPARE(flow->sequence.count("B1"), 2);
        QVERIFY2(course(flow->sequence) ==
                     start + verify + QStringList({"NoDevConn", "UpgradeImpossible", "B1"}),
                 qPrintable(flow->sequence.join(' ')));
        QVERIFY(capture->texts(QtInfoMsg).contains(
            "SM_A: dropping pending command UploadAndVerify because the device left the listing"));
        QCOMPARE(worker_record->count("FwUploading"), 0);
    }

    void device_pulled_in_B4_after_the_verification_was_taken_up() {
        build("current-firmware", 0);
        worker_record->on_worker_thread("FwUploading", 1, [this] { world->unplug(); });
        run();

        QTRY_COMPARE(flow->sequence.count("B1"), 2);
        QStringList const expected = start + verify + unverified;
        QCOMPARE(course(flow->sequence).mid(0, expected.size()), expected);
    }

    void debug_output_names_every_state_but_B9() {
        build("blank-otp", 0);
        machine->enable_debug_output();
        run();
        QTRY_COMPARE(flow->current, QString("B9"));

        QStringList const debug = capture->texts(QtDebugMsg);
        QVERIFY(debug.contains("\"SM_B: entered B1: No (DFU-SE) dev. conn.\""));
        QVERIFY(debug.contains("\"SM_B: /sig_DeviceConnected\""));
        QVERIFY(debug.contains("\"SM_B: /sig_DifferingRevision\""));
        QVERIFY(debug.filter("B9").isEmpty());
        QVERIFY(capture->texts(QtInfoMsg).contains("SM_B: Add connections to show emitted signals"));
        QVERIFY(!capture->texts(QtInfoMsg)
                     .filter("Device connected with:\n DeviceInfo:\n\tDevice type:\t0")
                     .isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFlow)
#include "tst_flow.moc"
