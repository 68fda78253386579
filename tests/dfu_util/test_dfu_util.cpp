#include "dfu/command.h"
#include "dfu/dfu_util.h"
#include "files/files.h"

#include "message_capture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString const& banner_0_9 = DFU::dfu_util::expected_output_of_execution_test;

QStringList lines_starting_with(MessageCapture const& capture, QString const& start) {
    QStringList found;
    for (auto const& m : capture.messages())
        if (m.text.startsWith(start))
            found << m.text;
    return found;
}

// Puts a script named dfu-util into a directory of its own and points the command table's path at it.
class StandInDfuUtil {
public:
    StandInDfuUtil(QByteArray const& output, int exit_code) {
        QFile out(dir.filePath("output.txt"));
        out.open(QIODevice::WriteOnly);
        out.write(output);
        QFile script(dir.filePath("dfu-util"));
        script.open(QIODevice::WriteOnly);
        script.write(QString("#!/bin/sh\necho run >>'%1'\ncat '%2'\nexit %3\n")
                         .arg(dir.filePath("runs"), out.fileName())
                         .arg(exit_code)
                         .toUtf8());
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        previous = DFU::Command::path;
        DFU::Command::path = dir.path();
    }
    ~StandInDfuUtil() { DFU::Command::path = previous; }

    int runs() const {
        QFile file(dir.filePath("runs"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
    }

private:
    QTemporaryDir dir;
    QString previous;
};

} // namespace

class TestDfuUtil : public QObject {
    Q_OBJECT

private slots:
    void expected_text_is_the_0_9_banner() {
        QCOMPARE(banner_0_9.size(), 261);
        QCOMPARE(banner_0_9.count('\n'), 7);
        QVERIFY(banner_0_9.startsWith("dfu-util 0.9\n\nCopyright 2005-2009 "));
        QVERIFY(banner_0_9.endsWith("tickets/\n\n"));
        QVERIFY(!banner_0_9.contains('\r'));
    }

    void paths_of_the_unpacked_program() {
        QCOMPARE(DFU::dfu_util::basename(), QString("dfu-util"));
        QCOMPARE(DFU::dfu_util::full_path(), Files::external_dir.path() + "/dfu-util");
    }

    // One run gives both verdicts: the counter in the stand-in proves that no second run reads the release.
    void self_test_data() {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<bool>("as_expected");
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("supported");
        QTest::addColumn<QStringList>("log");
        QByteArray const expected = banner_0_9.toUtf8();
        QString const ok = "Result of execution test: status was ok and output: ";
        QString const bad = "Result of execution test: status was bad and output: ";
        QString const found_0_9 = "Found dfu-util 0.9 (supported)";
        QTest::newRow("expected text, exit 0")
            << expected << 0 << true << "0.9" << true << QStringList{ok + "as expected", found_0_9};
        QTest::newRow("another release")
            << QByteArray("dfu-util 0.8\n") << 0 << false << "0.8" << false
            << QStringList{ok + "dfu-util 0.8\n", "Found dfu-util 0.8 (0.9 or later is needed)"};
        QTest::newRow("a later release")
            << QByteArray("dfu-util 0.11\n\nCopyright\n") << 0 << false << "0.11" << true
            << QStringList{ok + "dfu-util 0.11\n\nCopyright\n", "Found dfu-util 0.11 (supported)"};
        QTest::newRow("extra warning line")
            << expected + "warning: no libusb\n"
            << 0 << false << "0.9" << true
            << QStringList{ok + banner_0_9 + "warning: no libusb\n", found_0_9};
        QTest::newRow("expected text, exit 1")
            << expected << 1 << false << "0.9" << false
            << QStringList{bad + "as expected", "Found dfu-util 0.9 (0.9 or later is needed)"};
        QTest::newRow("no banner") << QByteArray("Segmentation fault\n") << 0 << false << "" << false
                                   << QStringList{
                                          ok + "Segmentation fault\n",
                                          "Found dfu-util of unknown version (0.9 or later is needed)"};
        QByteArray crlf = expected;
        crlf.replace("\n", "\r\n");
        // Only a Windows build strips carriage returns.
        QTest::newRow("CR-LF line ends")
            << crlf << 0 << false << "0.9" << true << QStringList{ok + QString::fromUtf8(crlf), found_0_9};
    }
    void self_test() {
        QFETCH(QByteArray, output);
        QFETCH(int, exit_code);
        QFETCH(bool, as_expected);
        QFETCH(QString, version);
        QFETCH(bool, supported);
        QFETCH(QStringList, log);
        StandInDfuUtil stand_in(output, exit_code);
        MessageCapture capture;
        DFU::dfu_util::SelfTest const test = DFU::dfu_util::self_test();
        QCOMPARE(test.as_expected, as_expected);
        QCOMPARE(test.version, QVersionNumber::fromString(version));
        QCOMPARE(test.supported, supported);
        QCOMPARE(lines_starting_with(capture, "Result of execution test:") +
                     lines_starting_with(capture, "Found dfu-util"),
                 log);
        QCOMPARE(stand_in.runs(), 1);
    }

    void system_dfu_util_is_supported() {
        MessageCapture capture;
        QString const directory = DFU::dfu_util::system_directory();
        QVERIFY(QFile::exists(directory + "/dfu-util"));
        QCOMPARE(capture.texts(QtInfoMsg), QStringList({"Using dfu-util " + directory + "/dfu-util"}));

        QString const previous = DFU::Command::path;
        DFU::Command::path = directory;
        DFU::dfu_util::SelfTest const test = DFU::dfu_util::self_test();
        DFU::Command::path = previous;
        QVERIFY(test.supported);
        QCOMPARE(test.as_expected, test.version == QVersionNumber(0, 9));
        QCOMPARE(DFU::dfu_util::addresses_by_devnum(), test.version >= QVersionNumber(0, 10));
        QStringList const result = lines_starting_with(capture, "Result of execution test:");
        QCOMPARE(result.size(), 1);
        QVERIFY(result.first().startsWith("Result of execution test: status was ok and output: "));
    }

    void missing_system_dfu_util_is_reported() {
        QByteArray const path = qgetenv("PATH");
        QTemporaryDir empty;
        qputenv("PATH", empty.path().toUtf8());
        MessageCapture capture;
        QString const directory = DFU::dfu_util::system_directory();
        qputenv("PATH", path);
        QVERIFY(directory.isEmpty());
        QStringList const warnings = capture.texts(QtWarningMsg);
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings.first().startsWith("No dfu-util found on the PATH"));
        QVERIFY(warnings.first().contains("apt-get install dfu-util"));
    }

    void desired_FW_Info_is_read_once() {
        QVERIFY(Files::extract_resources({Files::ID::desired_FW_bin}, true));
        QString const image = Files::external_dir.path() + "/firmware.bin";
        MessageCapture capture;
        Device::FW_Info const& first = DFU::desired_FW_Info();
        QVERIFY(first.valid);
        QVERIFY(first.product_info.type == Device::Type::SOLK);
        QCOMPARE(first.revision, QString("2.7.0"));
        QCOMPARE(capture.texts(QtDebugMsg), QStringList({"Reading desired FW_Info from  \"" + image + "\""}));

        QFile replacement(image);
        QVERIFY(replacement.open(QIODevice::WriteOnly | QIODevice::Truncate));
        replacement.write(QByteArray(4096, char(0xFF)));
        replacement.close();
        QVERIFY(!DFU::read_FW_Info_from_desired_FW().valid);
        Device::FW_Info const& second = DFU::desired_FW_Info();
        QCOMPARE(&second, &first);
        QCOMPARE(second.revision, QString("2.7.0"));
        QCOMPARE(lines_starting_with(capture, "Reading desired FW_Info").size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestDfuUtil)
#include "test_dfu_util.moc"
