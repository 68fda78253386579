#include "device/fw_info.h"

#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

QByteArray read_all(QString const& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Run {
    int exit_code = -1;
    QString output;
};

Run run(QString const& program, QStringList const& args) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAll())};
}

Run fwgen(QStringList const& args) {
    return run(FWGEN_PATH, args);
}

quint32 word_at(QByteArray const& image, int offset) {
    return qFromLittleEndian<quint32>(reinterpret_cast<uchar const*>(image.constData() + offset));
}

using Details = QVector<QPair<QString, QString>>;

Details const embedded_details = {
    {"Build", "2026-11-30"}, {"Board", "F20 rev C"}, {"Toolchain", "arm-none-eabi-gcc 12.2"}};

} // namespace

class TestResources : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString path(QString const& name) const { return dir.filePath(name); }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        for (QString name : {"firmware.bin", "firmware.dfu"})
            QVERIFY(QFile::copy(":resources/" + name, path(name)));
    }

    void collections_are_registered_before_main_data() {
        QTest::addColumn<QString>("name");
        for (char const* name : {"ZentovaSans-Regular.otf", "ZentovaSans-Bold.otf", "firmware.dfu",
                                 "firmware.bin", "background.jpg", "settings_GUI.json"})
            QTest::newRow(name) << QString(name);
    }
    void collections_are_registered_before_main() {
        QFETCH(QString, name);
        QFileInfo const info(":resources/" + name);
        QVERIFY(info.exists());
        QVERIFY(info.size() > 0);
    }

    void this_platform_carries_no_dfu_util() {
        QVERIFY(!QFile::exists(":resources/dfu-util"));
        QVERIFY(!QFile::exists(":resources/libusb-1.0.0.dylib"));
    }

    void fonts_are_one_family_in_two_cuts() {
        int const regular = QFontDatabase::addApplicationFont(":resources/ZentovaSans-Regular.otf");
        int const bold = QFontDatabase::addApplicationFont(":resources/ZentovaSans-Bold.otf");
        QVERIFY(regular >= 0 && bold >= 0);
        QString const family = QFontDatabase::applicationFontFamilies(regular).value(0);
        QVERIFY(!family.isEmpty());
        QCOMPARE(QFontDatabase::applicationFontFamilies(bold).value(0), family);
        QFontDatabase db;
        QVERIFY(db.styles(family).contains("Regular") || db.styles(family).contains("Medium"));
        QVERIFY(db.styles(family).contains("Bold"));
    }

    // The ring of the settings file marks the "MODEL" button: a dark cap on the light panel.
    void background_is_the_window_size_with_the_button_under_the_ring() {
        QByteArray const jpeg = read_all(":resources/background.jpg");
        QVERIFY(jpeg.startsWith("\xFF\xD8\xFF"));
        QImage const image = QImage::fromData(jpeg, "JPG");
        QCOMPARE(image.size(), QSize(665, 517));
        QVERIFY(qGray(image.pixel(298, 290)) < 80);
        QVERIFY(qGray(image.pixel(298 + 24, 290 - 8)) > 150);
        QVERIFY(qGray(image.pixel(40, 300)) < 60);  // behind the instructions
        QVERIFY(qGray(image.pixel(40, 495)) > 200); // behind the status line
    }

    void embedded_image_carries_its_information_block() {
        QByteArray const image = read_all(path("firmware.bin"));
        QCOMPARE(image.size(), 403300);
        Device::FW_Info const info = Device::make_FW_Info(image);
        QVERIFY(info.valid);
        QVERIFY(info.product_info.type == Device::Type::SOLK);
        QCOMPARE(info.product_info.raw_type, 0x8C);
        QCOMPARE(info.product_info.product_name_full(), QString("Zentova F20 Plus<br>Zentova F20"));
        QCOMPARE(info.name, QString("F20 main"));
        QCOMPARE(info.revision, QString("2.7.0"));
        QCOMPARE(info.details, embedded_details);
        int const block = image.indexOf(QByteArray("\x12\x47\x23\x01", 4));
        QVERIFY(block > 0 && block + 72 + 3 * 64 + 4 <= 2048);
        QCOMPARE(image.mid(block + 4, 4), QByteArray("\x8C\xFF\xFF\xFF", 4));
    }

    void embedded_image_starts_with_a_plausible_vector_table() {
        QByteArray const image = read_all(path("firmware.bin"));
        quint32 const stack_pointer = word_at(image, 0);
        quint32 const reset = word_at(image, 4);
        QCOMPARE(stack_pointer & 0xFFF00000, 0x20000000u);
        QCOMPARE(stack_pointer % 8, 0u);
        QCOMPARE(reset & 1, 1u);
        QVERIFY(reset > 0x08000000 && reset < 0x08000000u + quint32(image.size()));
    }

    void dfuse_file_passes_dfu_suffix_check() {
        Run const check = run("dfu-suffix", {"--check", path("firmware.dfu")});
        QVERIFY2(check.exit_code == 0, qPrintable(check.output));
        QVERIFY(check.output.contains("Vendor ID:\t0x0483"));
        QVERIFY(check.output.contains("Product ID:\t0xDF11"));
        QVERIFY(check.output.contains("BCD DFU:\t0x011A"));
    }

    void dfuse_file_equals_what_dfuse_pack_makes() {
        Run const pack =
            run("dfuse-pack", {"-b", "0x08000000:" + path("firmware.bin"), path("reference.dfu")});
        QVERIFY2(pack.exit_code == 0, qPrintable(pack.output));
        QByteArray const reference = read_all(path("reference.dfu"));
        QVERIFY(!reference.isEmpty());
        QVERIFY(read_all(path("firmware.dfu")) == reference);
    }

    void generator_defaults_make_the_embedded_files() {
        QCOMPARE(fwgen({"--out-bin", path("default.bin"), "--out-dfu", path("default.dfu")}).exit_code, 0);
        QVERIFY(read_all(path("default.bin")) == read_all(path("firmware.bin")));
        QVERIFY(read_all(path("default.dfu")) == read_all(path("firmware.dfu")));
    }

    void generator_writes_the_requested_block() {
        QCOMPARE(
            fwgen({"--out-bin", path("qrmx.bin"), "--type", "0x03", "--ext", "00,01,02", "--name", "Q main",
                   "--revision", "1.0.3", "--detail", "A=B=C", "--detail", "Key=", "--size", "4096"})
                .exit_code,
            0);
        QByteArray const image = read_all(path("qrmx.bin"));
        QCOMPARE(image.size(), 4096);
        Device::FW_Info const info = Device::make_FW_Info(image);
        QVERIFY(info.valid);
        QVERIFY(info.product_info.type == Device::Type::QRMX);
        QCOMPARE(image.mid(image.indexOf(QByteArray("\x12\x47\x23\x01", 4)) + 4, 4),
                 QByteArray("\x03\x00\x01\x02", 4));
        QCOMPARE(info.name, QString("Q main"));
        QCOMPARE(info.revision, QString("1.0.3"));
        // A detail with an empty value ends the decoded list, as on a device.
        QCOMPARE(info.details, Details({{"A", "B=C"}}));
    }

    void generator_image_without_block_or_erased() {
        QCOMPARE(fwgen({"--out-bin", path("noblock.bin"), "--no-block"}).exit_code, 0);
        QByteArray const noblock = read_all(path("noblock.bin"));
        QCOMPARE(noblock.size(), 403300);
        QVERIFY(!Device::make_FW_Info(noblock).valid);
        QCOMPARE(word_at(noblock, 0), word_at(read_all(path("firmware.bin")), 0));

        QCOMPARE(fwgen({"--out-bin", path("blank.bin"), "--blank", "--size", "2048"}).exit_code, 0);
        QCOMPARE(read_all(path("blank.bin")), QByteArray(2048, char(0xFF)));
    }

    void generator_payload_depends_on_the_seed_only() {
        QCOMPARE(fwgen({"--out-bin", path("seed7a.bin"), "--seed", "7"}).exit_code, 0);
        QCOMPARE(fwgen({"--out-bin", path("seed7b.bin"), "--seed", "7"}).exit_code, 0);
        QByteArray const a = read_all(path("seed7a.bin"));
        QVERIFY(a == read_all(path("seed7b.bin")));
        QVERIFY(a != read_all(path("firmware.bin")));
        QByteArray const embedded = read_all(path("firmware.bin"));
        QVERIFY(a.left(8) == embedded.left(8));
        QCOMPARE(QString(Device::make_FW_Info(a)), QString(Device::make_FW_Info(embedded)));
    }

    void generator_rejects_bad_options_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no output file") << QStringList({"--name", "x"});
        QTest::newRow("name of 32 bytes") << QStringList({"--name", QString(32, 'n')});
        QTest::newRow("detail without =") << QStringList({"--detail", "Board"});
        QTest::newRow("two extension bytes") << QStringList({"--ext", "FF,FF"});
        QTest::newRow("type above a byte") << QStringList({"--type", "0x100"});
        QTest::newRow("negative size") << QStringList({"--size", "-4"});
        QTest::newRow("size below the block") << QStringList({"--size", "512"});
        QTest::newRow("unknown option") << QStringList({"--colour", "red"});
    }
    void generator_rejects_bad_options() {
        QFETCH(QStringList, args);
        bool const names_output = QString(QTest::currentDataTag()) != "no output file";
        Run const result =
            fwgen(names_output ? args + QStringList({"--out-bin", path("rejected.bin")}) : args);
        QCOMPARE(result.exit_code, 2);
        QVERIFY(result.output.contains("usage: fwgen"));
        QVERIFY(!QFile::exists(path("rejected.bin")));
    }
};

QTEST_MAIN(TestResources)
#include "test_resources.moc"
