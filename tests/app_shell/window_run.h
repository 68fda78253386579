#pragma once

// The tool's window run in simulator mode against the emulated product, for tests that interrupt an
// upgrade while the device is being written.

#include "app/app.h"
#include "files/files.h"

#include "sim_fixture.h"

#include <QApplication>
#include <QFile>
#include <QtTest>

// Every byte of the embedded image reached the device, and dfu-util left DFU mode after the write.
inline void verify_download_finished(SimWorld& world) {
    QVERIFY(!world.log().filter(" LEAVE").isEmpty());
    QFile image(Files::external_dir.path() + "/" + Files::desired_FW_fileName_bin);
    QVERIFY(image.open(QIODevice::ReadOnly));
    QByteArray const written = image.readAll();
    QVERIFY(!written.isEmpty());
    QCOMPARE(world.flash().left(written.size()), written);
}

// Runs the test object's slots inside an application started as "updater -s". Realistic timing with a
// quicker flash, so that the write lasts a few seconds, longer than the quit key's wait for the worker.
template <typename Test> int run_window_test(int argc, char* argv[]) {
    SimWorld world("old-firmware", false);
    world.set_quick_flash();
    int tool_argc = 2;
    char tool_name[] = "updater";
    char simulator_option[] = "-s";
    char* tool_argv[] = {tool_name, simulator_option, nullptr};
    // As the window program does, first thing.
    command_line = parse_command_line(arguments_of(tool_argc, tool_argv));
    QApplication app(tool_argc, tool_argv);
    Test test(world);
    return QTest::qExec(&test, argc, argv);
}
