// The command lines and results of download and read-back, against the stand-in script where dfu-util
// cannot produce the case (a crash, a chosen exit code).

#include "dfu/firmware_transfer.h"

#include "dfu/command.h"

#include "fake_dfu_util.h"
#include "message_capture.h"

#include <QtTest>

using namespace DFU;

namespace {

QString start_line(QString const& program, QStringList const& args) {
    QStringList items;
    for (QString const& arg : args)
        items << '"' + arg + '"';
    return QStringLiteral("Start  \"%1\" (%2)").arg(program, items.join(", "));
}

void write_file(QString const& path, QByteArray const& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Replaces the fixed arguments of one entry for the life of the object, so the script picks its case.
class FixedArgs {
public:
    FixedArgs(CmdID id, QStringList const& args) : id(id), saved(commands[id].args) {
        commands[id].args = args;
    }
    ~FixedArgs() { commands[id].args = saved; }
    FixedArgs(FixedArgs const&) = delete;
    FixedArgs& operator=(FixedArgs const&) = delete;

private:
    CmdID id;
    QStringList saved;
};

DeviceItem const unit{"325E35633334", "1-2", "5"};
QStringList const naming_the_unit{"-S", "325E35633334", "-p", "1-2", "-n", "5"};

} // namespace

class TestFirmwareTransfer : public QObject {
    Q_OBJECT

private slots:
    void upload_reads_the_size_in_decimal_after_deleting_the_file() {
        FakeDfuUtil fake;
        QString const target = fake.file("uploaded_FW.bin");
        write_file(target, "stale read-back");
        MessageCapture capture;
        upload_FW_from_device(target, 403300, unit);
        QVERIFY2(!QFile::exists(target), "the earlier read-back must be gone before dfu-util runs");
        QStringList const expected =
            QStringList{"-d", "0483", "-a", "0", "-s", "0x08000000:403300", "-U", target} + naming_the_unit;
        QCOMPARE(capture.texts(QtInfoMsg).value(0), start_line(fake.program, expected));
    }

    void download_writes_the_image_from_the_start_of_flash() {
        FakeDfuUtil fake;
        QString const image = fake.file("firmware.bin");
        MessageCapture capture;
        QCOMPARE(download_FW_to_device(image, unit).exit_code, 0);
        QStringList const expected =
            QStringList{"-d", "0483", "-a", "0", "-s", "0x08000000:leave", "-D", image} + naming_the_unit;
        QCOMPARE(capture.texts(QtInfoMsg), QStringList{start_line(fake.program, expected)});
    }

    // An upload that says it succeeded but left no file of the asked size is a failed read.
    void transfers_return_the_exit_code_data() {
        QTest::addColumn<QStringList>("script_case");
        QTest::addColumn<int>("download_code");
        QTest::addColumn<int>("upload_code");
        QTest::newRow("exit 0") << QStringList{"exit", "0"} << 0 << -1;
        QTest::newRow("exit 74") << QStringList{"exit", "74"} << 74 << 74;
        QTest::newRow("crash") << QStringList{"crash"} << -1 << -1;
    }
    void transfers_return_the_exit_code() {
        QFETCH(QStringList, script_case);
        QFETCH(int, download_code);
        QFETCH(int, upload_code);
        FakeDfuUtil fake;
        MessageCapture capture;
        {
            FixedArgs download(CmdID::download_FW, script_case);
            QCOMPARE(download_FW_to_device(fake.file("firmware.bin"), unit).exit_code, download_code);
        }
        {
            FixedArgs upload(CmdID::upload_FW, script_case);
            QCOMPARE(upload_FW_from_device(fake.file("uploaded_FW.bin"), 1024, unit), upload_code);
        }
    }

    void no_reference_image_starts_no_dfu_util_data() {
        QTest::addColumn<bool>("exists");
        QTest::newRow("missing") << false;
        QTest::newRow("empty") << true;
    }
    void no_reference_image_starts_no_dfu_util() {
        QFETCH(bool, exists);
        FakeDfuUtil fake;
        QString const reference = fake.file("firmware.bin");
        if (exists)
            write_file(reference, QByteArray());
        MessageCapture capture;
        QCOMPARE(int(upload_and_compare_FW_bin(reference, fake.file("uploaded_FW.bin"), unit)),
                 int(Verification::unknown));
        QVERIFY(capture.empty());
    }
};

QTEST_GUILESS_MAIN(TestFirmwareTransfer)
#include "tst_firmware_transfer.moc"
