#include "files/files.h"
#include "files/support_misc.h"

#include "message_capture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using Files::ID;
using support_misc::Platform;

Q_DECLARE_METATYPE(Platform)

namespace {

QString in_external_dir(QString const& name) {
    return Files::external_dir.path() + "/" + name;
}

QByteArray read_all(QString const& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void write_file(QString const& path, QByteArray const& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString streamed(Platform platform) {
    QString text;
    QDebug(&text) << platform << QString("next");
    return text;
}

QFileDevice::Permissions const read_for_all =
    QFileDevice::ReadOwner | QFileDevice::ReadUser | QFileDevice::ReadGroup | QFileDevice::ReadOther;
QFileDevice::Permissions const exe_for_all =
    QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther;

} // namespace

class TestFiles : public QObject {
    Q_OBJECT

private slots:
    void temporary_directory_is_private() {
        QVERIFY(Files::external_dir.isValid());
        QFileInfo const dir(Files::external_dir.path());
        QCOMPARE(dir.absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
        QVERIFY(QRegularExpression("^upgrade_[A-Za-z0-9]{6}$").match(dir.fileName()).hasMatch());
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(dir.filePath()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0700));
    }

    void names_agree_with_the_id_table() {
        QCOMPARE(Files::basename.size(), 7);
        QCOMPARE(Files::basename.value(ID::dfu_util), Files::dfu_util_executable_fileName);
        QCOMPARE(Files::basename.value(ID::libusb), QString("libusb-1.0.0.dylib"));
        QCOMPARE(Files::basename.value(ID::desired_FW_dfu), Files::desired_FW_fileName_dfu);
        QCOMPARE(Files::basename.value(ID::desired_FW_bin), Files::desired_FW_fileName_bin);
        QCOMPARE(Files::basename.value(ID::uploaded_FW_bin), Files::uploaded_FW_fileName_bin);
        QCOMPARE(Files::basename.value(ID::uploaded_FW_info_bin), Files::uploaded_FW_info_fileName_bin);
        QCOMPARE(Files::basename.value(ID::uploaded_OTP_bin), Files::uploaded_OTP_fileName_bin);
        QCOMPARE(Files::desired_FW_fileName_bin, QString("firmware.bin"));
        QCOMPARE(Files::desired_FW_fileName_dfu, QString("firmware.dfu"));
    }

    // Runs first among the extraction cases: the directory is fresh.
    void extraction_copies_the_firmware_readable_and_not_executable() {
        MessageCapture capture;
        QVERIFY(Files::extract_resources({ID::desired_FW_dfu, ID::desired_FW_bin}, true));
        QCOMPARE(capture.texts(QtDebugMsg),
                 QStringList({"Extracted  \"firmware.dfu\"", "Extracted  \"firmware.bin\""}));
        for (QString name : {"firmware.dfu", "firmware.bin"}) {
            QByteArray const copy = read_all(in_external_dir(name));
            QVERIFY(!copy.isEmpty());
            QCOMPARE(copy, read_all(":resources/" + name));
            auto const permissions = QFile::permissions(in_external_dir(name));
            QCOMPARE(permissions & read_for_all, read_for_all);
            QCOMPARE(permissions & exe_for_all, QFileDevice::Permissions());
        }
    }

    void extracting_again_fails_per_file_and_goes_on() {
        MessageCapture capture;
        QVERIFY(!Files::extract_resources({ID::desired_FW_bin, ID::desired_FW_dfu}, true));
        QCOMPARE(capture.texts(QtInfoMsg),
                 QStringList({"Failed to extract  \"firmware.bin\"", "Failed to extract  \"firmware.dfu\""}));
        QVERIFY(Files::extract_resources({ID::desired_FW_bin}, false));
    }

    void ids_without_a_resource_fail() {
        MessageCapture capture;
        // This platform takes dfu-util and libusb from the system, so they are not among the resources.
        QVERIFY(!Files::extract_resources({ID::dfu_util, ID::libusb, ID::uploaded_OTP_bin}, true));
        QCOMPARE(capture.texts(QtInfoMsg).size(), 3);
        QVERIFY(!QFile::exists(in_external_dir("dfu-util")));
        QVERIFY(!Files::extract_resources({static_cast<ID>(42)}, true));
    }

    void empty_list_succeeds_silently() {
        MessageCapture capture;
        QVERIFY(Files::extract_resources({}, true));
        QVERIFY(capture.empty());
    }

    void uncreatable_temporary_directory_fails_extraction() {
        // A regular file as the system's temporary path: no directory can be made below it, not even by root.
        QTemporaryDir dir;
        write_file(dir.filePath("not_a_directory"), "x");
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", dir.filePath("not_a_directory"));
        child.setProcessEnvironment(env);
        child.start(EXTRACT_CHILD_PATH, QStringList());
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 1);
        QString const log = QString::fromUtf8(child.readAllStandardError());
        QVERIFY2(log.contains("Failed to create temporary directory:"), qPrintable(log));
        QVERIFY(!log.contains("Extracted"));
    }

    // Removed at exit by the bytes it was made with, whatever the file-name encoding is by then.
    void non_ascii_temporary_path_is_left_clean() {
        QTemporaryDir dir;
        QString const root = dir.filePath(QString::fromUtf8("t\xc3\xa9mp"));
        QVERIFY(QDir().mkpath(root));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", root);
        child.setProcessEnvironment(env);
        child.start(EXTRACT_CHILD_PATH, QStringList());
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }

    void mark_file_executable_keeps_bits_and_adds_execute() {
        QTemporaryDir dir;
        QString const path = dir.filePath("tool");
        write_file(path, "#!/bin/sh\n");
        auto const before = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                            QFileDevice::WriteUser | QFileDevice::ReadGroup;
        QVERIFY(QFile::setPermissions(path, before));
        MessageCapture capture;
        QVERIFY(support_misc::mark_file_executable(path));
        QCOMPARE(QFile::permissions(path), before | exe_for_all);
        QCOMPARE(capture.texts(QtDebugMsg).size(), 1);
        QVERIFY(
            capture.texts(QtDebugMsg).first().startsWith("Changing file permissions to make it executable:"));
    }

    void mark_file_executable_on_a_missing_file_warns() {
        MessageCapture capture;
        QVERIFY(!support_misc::mark_file_executable("/nonexistent/tool"));
        QCOMPARE(capture.texts(QtWarningMsg),
                 QStringList({"Failed to mark file (doesn't exist) as executable: \"/nonexistent/tool\""}));
    }

    void ensure_file_is_deleted_removes_regular_files_only() {
        QTemporaryDir dir;
        QString const file = dir.filePath("upload.bin");
        write_file(file, "data");
        support_misc::ensure_file_is_deleted(file);
        QVERIFY(!QFile::exists(file));
        QVERIFY(QDir(dir.path()).mkdir("sub"));
        support_misc::ensure_file_is_deleted(dir.filePath("sub"));
        QVERIFY(QFileInfo(dir.filePath("sub")).isDir());
        support_misc::ensure_file_is_deleted(dir.filePath("missing"));
    }

    void load_text_file_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QByteArray("line 1\nline 2\n") << "line 1\nline 2\n";
        QTest::newRow("stops at NUL") << QByteArray("before\0after", 12) << "before";
        QTest::newRow("NUL first") << QByteArray("\0after", 6) << "";
        QTest::newRow("UTF-8") << QByteArray("gr\xc3\xbc\xc3\x9f") << QString::fromUtf8("grüß");
    }
    void load_text_file() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QTemporaryDir dir;
        write_file(dir.filePath("f.txt"), bytes);
        QCOMPARE(support_misc::load_text_file(dir.filePath("f.txt")), text);
    }

    void load_text_file_throws_for_a_missing_file() {
        QString thrown;
        try {
            support_misc::load_text_file("/nonexistent/settings.json");
        } catch (QString const& message) {
            thrown = message;
        }
        QCOMPARE(thrown, QString("Couldn't open file: /nonexistent/settings.json"));
    }

    void resource_path_is_used_unchanged() {
        QCOMPARE(support_misc::maybe_use_file_instead_of_resource(":resources/settings_GUI.json"),
                 QString(":resources/settings_GUI.json"));
    }

    void remove_carriage_returns_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QChar>("c");
        QTest::addColumn<QString>("result");
        QTest::newRow("CR-LF line ends") << "a\r\nb\r\n" << QChar(13) << "a\nb\n";
        QTest::newRow("nothing to remove") << "a\nb" << QChar(13) << "a\nb";
        QTest::newRow("case-sensitive") << "aAbA" << QChar('a') << "AbA";
    }
    void remove_carriage_returns() {
        QFETCH(QString, text);
        QFETCH(QChar, c);
        QFETCH(QString, result);
        QCOMPARE(support_misc::remove_carriage_returns(text, c), result);
    }

    void platform_of_this_build() {
        QCOMPARE(support_misc::compiled_for_platform(), Platform::Linux);
        QVERIFY(support_misc::compiled_for_platform(Platform::Linux));
        QVERIFY(!support_misc::compiled_for_platform(Platform::windows));
        QVERIFY(!support_misc::compiled_for_platform(Platform::macOS));
        QVERIFY(!support_misc::compiled_w_DEBUG);
    }

    void platform_text_data() {
        QTest::addColumn<Platform>("platform");
        QTest::addColumn<QString>("text");
        QTest::newRow("Linux") << Platform::Linux << "Linux \"next\" ";
        QTest::newRow("macOS") << Platform::macOS << "macOS \"next\" ";
        QTest::newRow("windows") << Platform::windows << "windows \"next\" ";
        QTest::newRow("unknown") << Platform::unknown << "unknown \"next\" ";
        QTest::newRow("out of range") << static_cast<Platform>(9) << " \"next\" ";
    }
    // The platform is written unquoted; the string after it shows that quoting is switched back on.
    void platform_text() {
        QFETCH(Platform, platform);
        QFETCH(QString, text);
        QCOMPARE(streamed(platform), text);
    }
};

QTEST_GUILESS_MAIN(TestFiles)
#include "test_files.moc"
