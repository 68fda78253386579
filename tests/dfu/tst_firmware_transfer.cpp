// The command lines and results of download and read-back, against the stand-in script where dfu-util
// cannot produce the case (a crash, a chosen exit code).

#include "dfu/firmware_transfer.h"

#include "dfu/command.h"

#include "fake_dfu_util.h"
#include "message_capture.h"

#include <QElapsedTimer>
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

    void progress_lines_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<int>("step");
        QTest::addColumn<qint64>("bytes");
        using Step = Progress::Step;
        QTest::newRow("erase") << QByteArray("Erase   \t[====                     ]  16%        65536 bytes")
                               << true << int(Step::erasing) << qint64(65536);
        QTest::newRow("download") << QByteArray(
                                         "Download\t[=========================] 100%       403300 bytes")
                                  << true << int(Step::writing) << qint64(403300);
        QTest::newRow("upload") << QByteArray("Upload\t[                         ]   0%            0 bytes")
                                << true << int(Step::reading_back) << qint64(0);
        QTest::newRow("step done") << QByteArray("Download done.") << false << 0 << qint64(0);
        QTest::newRow("no bytes") << QByteArray("Erase   \t[==  ]  40% bytes") << false << 0 << qint64(0);
        QTest::newRow("foreign bar") << QByteArray("Upload\t[xx  ]  40%   10 bytes") << false << 0
                                     << qint64(0);
        QTest::newRow("unknown step")
            << QByteArray("Verify\t[==  ]  40%   10 bytes") << false << 0 << qint64(0);
        QTest::newRow("runaway number")
            << QByteArray("Download\t[=] 100% 99999999999999999999 bytes") << false << 0 << qint64(0);
        QTest::newRow("binary") << QByteArray("Erase\x00\xff[==] 1% 2 bytes", 23) << false << 0 << qint64(0);
    }
    void progress_lines() {
        QFETCH(QByteArray, line);
        QFETCH(bool, parsed);
        QFETCH(int, step);
        QFETCH(qint64, bytes);
        Progress progress;
        QCOMPARE(parse_progress(line, &progress), parsed);
        if (parsed) {
            QCOMPARE(int(progress.step), step);
            QCOMPARE(progress.bytes, bytes);
        }
    }

    // Progress is reported while dfu-util runs, as its bar is redrawn, whatever pieces the output comes in;
    // the garbage between bar lines is passed over.
    void progress_is_reported_while_the_write_runs() {
        FakeDfuUtil fake;
        FixedArgs const script_case(CmdID::download_FW, {"progress"});
        QElapsedTimer clock;
        clock.start();
        QVector<Progress> reports;
        qint64 first_report_ms = -1;
        TransferWatch watch;
        watch.progress = [&](Progress const& progress) {
            if (reports.isEmpty())
                first_report_ms = clock.elapsed();
            reports << progress;
        };
        QCOMPARE(download_FW_to_device(fake.file("firmware.bin"), unit, watch).exit_code, 0);
        qint64 const end_ms = clock.elapsed();

        QVERIFY2(first_report_ms >= 0 && end_ms - first_report_ms >= 700,
                 qPrintable(QString("first report at %1 ms, end at %2 ms").arg(first_report_ms).arg(end_ms)));
        QCOMPARE(reports.size(), 4);
        QCOMPARE(int(reports[0].step), int(Progress::Step::erasing));
        QCOMPARE(reports[0].bytes, qint64(4096));
        QCOMPARE(int(reports[1].step), int(Progress::Step::erasing));
        QCOMPARE(int(reports[2].step), int(Progress::Step::writing));
        QCOMPARE(reports[2].bytes, qint64(5120));
        QCOMPARE(reports[3].bytes, qint64(10240));
    }

    // dfu-util 0.9 erases as it writes, under its "Download" bar alone; later releases erase first.
    void download_bar_alone_is_erasing_and_writing_data() {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QVector<int>>("steps");
        using Step = Progress::Step;
        QByteArray const download =
            "\rDownload\t[=   ]  4%  12288 bytes\rDownload\t[====] 100%  300000 bytes\n";
        QTest::newRow("0.9") << download
                             << QVector<int>{int(Step::erasing_and_writing), int(Step::erasing_and_writing)};
        QTest::newRow("later") << "\rErase   \t[====] 100%  300000 bytes\nErase    done.\n" + download
                               << QVector<int>{int(Step::erasing), int(Step::writing), int(Step::writing)};
    }
    void download_bar_alone_is_erasing_and_writing() {
        QFETCH(QByteArray, output);
        QFETCH(QVector<int>, steps);
        QVector<int> reported;
        ProgressReader reader([&](Progress const& progress) { reported << int(progress.step); });
        reader.feed(output);
        QCOMPARE(reported, steps);
    }

    void reader_joins_pieces_split_anywhere() {
        QByteArray const output(
            "\rErase   \t[==] 40%   4096 bytes\rUpload\t[==] 50%  5120 bytes\nUpload done.\n");
        for (int split = 0; split <= output.size(); ++split) {
            QVector<qint64> bytes;
            ProgressReader reader([&](Progress const& progress) { bytes << progress.bytes; });
            reader.feed(output.left(split));
            reader.feed(output.mid(split));
            QCOMPARE(bytes, (QVector<qint64>{4096, 5120}));
        }
    }
};

QTEST_GUILESS_MAIN(TestFirmwareTransfer)
#include "tst_firmware_transfer.moc"
