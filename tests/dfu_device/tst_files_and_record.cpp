// The parts of reading and verification that need no device: file sizes, the byte comparison that decides
// a verification, and the text forms of the device record.

#include "dfu/device_info.h"
#include "dfu/firmware_transfer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestFilesAndRecord : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString write_file(QString const& name, QByteArray const& bytes) {
        QString const path = dir.filePath(name);
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(bytes);
        return path;
    }

private slots:
    void size_of_binary_file_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<int>("expected");
        QTest::newRow("missing") << QByteArray() << false << -1;
        QTest::newRow("empty") << QByteArray() << true << 0;
        QTest::newRow("image size") << QByteArray(403300, '\x5a') << true << 403300;
    }
    void size_of_binary_file() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, exists);
        QFETCH(int, expected);
        QString const path = exists ? write_file("sized.bin", bytes) : dir.filePath("absent.bin");
        QCOMPARE(DFU::size_of_binary_file(path), expected);
    }

    void compare_FW_bin_files_data() {
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<bool>("b_exists");
        QTest::addColumn<bool>("equal");
        QByteArray const image = QByteArray(4096, '\x11') + QByteArray(100, '\x22');
        QByteArray last_byte_differs = image;
        last_byte_differs[image.size() - 1] = '\x23';
        QByteArray first_byte_differs = image;
        first_byte_differs[0] = '\x10';
        QTest::newRow("identical") << image << image << true << true;
        QTest::newRow("last byte differs") << image << last_byte_differs << true << false;
        QTest::newRow("first byte differs") << image << first_byte_differs << true << false;
        QTest::newRow("read back shorter") << image << image.left(image.size() - 1) << true << false;
        QTest::newRow("read back longer") << image << image + '\x00' << true << false;
        QTest::newRow("both empty") << QByteArray() << QByteArray() << true << false;
        QTest::newRow("read back missing") << image << QByteArray() << false << false;
    }
    void compare_FW_bin_files() {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        QFETCH(bool, b_exists);
        QFETCH(bool, equal);
        QString const path_a = write_file("a.bin", a);
        QString const path_b = b_exists ? write_file("b.bin", b) : dir.filePath("missing.bin");
        QCOMPARE(DFU::compare_FW_bin_files(path_a, path_b), equal);
    }

    void missing_reference_never_verifies() {
        QString const upload = write_file("upload.bin", "anything");
        QCOMPARE(DFU::upload_and_compare_FW_bin(dir.filePath("no-reference.bin"), upload,
                                                {"325E35633334", "", ""}),
                 DFU::Verification::unknown);
        QVERIFY2(QFile::exists(upload), "nothing may be read from the device without a reference image");
    }

    void text_form_of_invalid_record() {
        QCOMPARE(QString(DFU::DeviceInfo()), QString("DeviceInfo:\nInvalid"));
    }

    void text_form_prints_type_in_decimal() {
        DFU::DeviceInfo info;
        info.valid = true;
        info.device_type = 16;
        info.FW_revision = "2.6.3";
        QCOMPARE(QString(info), QString("DeviceInfo:\n\tDevice type:\t16\n\tFW_revision:\t2.6.3\n"));
    }

    void debug_stream_is_unquoted_and_keeps_quoting() {
        DFU::DeviceInfo info;
        info.valid = true;
        info.device_type = 0x8C;
        QString text;
        QDebug(&text) << info << QString("after");
        QCOMPARE(text, QString("DeviceInfo:\n\tDevice type:\t140\n\tFW_revision:\t\n \"after\" "));
    }
};

QTEST_GUILESS_MAIN(TestFilesAndRecord)
#include "tst_files_and_record.moc"
