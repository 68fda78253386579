#pragma once

// A private emulated world for one test. While a SimWorld lives, DFU_SIM_DIR names a fresh temporary
// directory, so every dfu-util run started through the simulator script (directly or by the tool in
// simulator mode) meets the devices of the configuration loaded here, and nothing else.
//
//     SimWorld world("current-firmware");      // fast timing unless told otherwise
//     QVERIFY(world.ok());
//     ... run the tool's DFU functions with simulator::setup_for_simulated_dfu_util ...
//     QCOMPARE(world.flash().left(image.size()), image);
//     QVERIFY(!world.log().filter(" ERASE ").isEmpty());
//
// The test target needs the simulator built: add_dependencies(<test> simulator).

#include "test_config.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

class SimWorld {
public:
    struct Run {
        int exit_code = -1;
        QString output;
        QString errors;
    };

    static QString simulator_dir() { return QStringLiteral(TEST_BUILD_DIR "/simulator"); }
    static QString simctl_path() { return simulator_dir() + "/simctl"; }
    static QString image(QString const& name) { return simulator_dir() + "/images/" + name + ".bin"; }
    // The firmware the tool carries, as the emulator's images hold it.
    static QByteArray embedded_image() {
        QFile file(image("current-firmware"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Fast timing makes every operation answer at once, also for the tool, which passes no fast flag.
    explicit SimWorld(QString const& configuration = "old-firmware", bool fast = true)
        : previous(qgetenv("DFU_SIM_DIR")), had_previous(qEnvironmentVariableIsSet("DFU_SIM_DIR")) {
        qputenv("DFU_SIM_DIR", temporary.path().toLocal8Bit());
        loaded = temporary.isValid() && load(configuration) && set_fast(fast);
    }

    ~SimWorld() {
        if (had_previous)
            qputenv("DFU_SIM_DIR", previous);
        else
            qunsetenv("DFU_SIM_DIR");
    }

    SimWorld(SimWorld const&) = delete;
    SimWorld& operator=(SimWorld const&) = delete;

    bool ok() const { return loaded; }
    QString dir() const { return temporary.path(); }

    Run simctl(QStringList const& args) const { return run(simctl_path(), args); }
    bool load(QString const& configuration) const { return simctl({"load", configuration}).exit_code == 0; }
    bool set_fast(bool fast) const { return simctl({"fast", fast ? "on" : "off"}).exit_code == 0; }
    // Realistic timing with a quicker flash: a write of the embedded image takes about 1.5 s instead of 10,
    // still long enough for a test to act on the tool while it writes. Call before the tool starts.
    bool set_quick_flash() const {
        QFile file(dir() + "/world.txt");
        return file.open(QIODevice::Append) &&
               file.write("erase_16k_ms=30\nerase_64k_ms=60\nerase_128k_ms=120\npoll_erase_ms=10\n"
                          "write_chunk_ms=1\npoll_write_ms=3\n") > 0;
    }
    bool plug(QString const& device = "dev0") const { return simctl({"plug", device}).exit_code == 0; }
    bool unplug(QString const& device = "dev0") const { return simctl({"unplug", device}).exit_code == 0; }
    // Memory of a device as the emulator keeps it: 1 MiB of flash from 0x08000000, the 512-byte OTP area.
    QByteArray flash(QString const& device = "dev0") const { return read(device + "/flash.bin"); }
    void write_flash(QByteArray const& bytes, QString const& device = "dev0") const {
        write(device + "/flash.bin", bytes.leftJustified(1024 * 1024, char(0xFF)));
    }
    void write_otp(QByteArray const& bytes, QString const& device = "dev0") const {
        write(device + "/otp.bin", bytes.leftJustified(512, char(0xFF)));
    }

    // Lines of the emulator's request log, e.g. "pid=12 dev0 UPLOAD 0x08000000 len=2048".
    QStringList log() const {
        return QString::fromUtf8(read("requests.log")).split('\n', Qt::SkipEmptyParts);
    }

private:
    QTemporaryDir temporary;
    QByteArray previous;
    bool had_previous;
    bool loaded = false;

    static Run run(QString const& program, QStringList const& args) {
        QProcess process;
        process.start(program, args);
        Run result;
        if (!process.waitForFinished(60000))
            return result;
        result.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.output = QString::fromUtf8(process.readAllStandardOutput());
        result.errors = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    QByteArray read(QString const& name) const {
        QFile file(dir() + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void write(QString const& name, QByteArray const& bytes) const {
        QFile file(dir() + "/" + name);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
    }
};
