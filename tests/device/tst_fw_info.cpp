#include "device/fw_info.h"

#include "device_blocks.h"
#include "message_capture.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Device;
using namespace test_blocks;

namespace {

const QByteArray qrmx = bytes({0x03, 0xFF, 0xFF, 0xFF});

QByteArray sample_block(Pairs const& details = {}) {
    return fw_block(qrmx, "Nal-70 main", "2.4.1", details);
}

QString missing_marker_line(int beg, int end) {
    return QStringLiteral("index_beg =  %1 index_end =  %2").arg(beg).arg(end);
}

} // namespace

class TestFwInfo : public QObject {
    Q_OBJECT

private slots:
    void local_strlen_data() {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<int>("length");
        QTest::newRow("first byte NUL") << QByteArray(32, '\0') << 0;
        QTest::newRow("one char") << text_field("a") << 1;
        QTest::newRow("31 chars") << text_field(QByteArray(31, 'x')) << 31;
        QTest::newRow("no NUL") << QByteArray(32, 'x') << -1;
        QTest::newRow("NUL beyond field") << QByteArray(32, 'x') + QByteArray(1, '\0') << -1;
    }
    void local_strlen() {
        QFETCH(QByteArray, field);
        QFETCH(int, length);
        QCOMPARE(Device::local_strlen(field.constData()), length);
    }

    void get_string_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("null");
        QTest::newRow("plain") << text_field("abc") << 0 << "abc" << false;
        QTest::newRow("offset") << QByteArray("zz") + text_field("abc") << 2 << "abc" << false;
        QTest::newRow("empty field") << QByteArray(32, '\0') << 0 << "" << false;
        QTest::newRow("no NUL in 32") << QByteArray(40, 'x') << 0 << QString() << true;
        QTest::newRow("end of data first") << QByteArray("abcd") << 1 << "bcd" << false;
        QTest::newRow("index at end") << QByteArray("abcd") << 4 << "" << false;
        QTest::newRow("index beyond end") << QByteArray("abcd") << 100 << "" << false;
        QTest::newRow("negative index") << QByteArray("abcd") << -3 << "" << false;
        QTest::newRow("utf8") << text_field("Gr\xc3\xbc\xc3\x9f") << 0 << QString::fromUtf8("Grüß") << false;
    }
    void get_string() {
        QFETCH(QByteArray, data);
        QFETCH(int, index);
        QFETCH(QString, text);
        QFETCH(bool, null);
        const QString result = Device::get_string(data, index);
        QCOMPARE(result, text);
        QCOMPARE(result.isNull(), null);
    }

    void decodes_block_with_details() {
        const FW_Info info =
            make_FW_Info(flash_dump(sample_block({{"build", "release"}, {"date", "2024-03-01"}}), 0x188));
        QVERIFY(info.valid);
        QCOMPARE(info.product_info, make_ProductInfo({0x03, 0xFF, 0xFF, 0xFF}));
        QCOMPARE(info.name, QStringLiteral("Nal-70 main"));
        QCOMPARE(info.revision, QStringLiteral("2.4.1"));
        QCOMPARE(info.details.size(), 2);
        QCOMPARE(info.details[1], qMakePair(QStringLiteral("date"), QStringLiteral("2024-03-01")));
    }

    void rejected_layouts_log_their_indexes_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("line");
        QTest::newRow("empty") << QByteArray() << missing_marker_line(-1, -1);
        QTest::newRow("erased") << QByteArray(2048, char(0xFF)) << missing_marker_line(-1, -1);
        QTest::newRow("begin only") << flash_dump(fw_begin_marker, 10) << missing_marker_line(10, -1);
        QTest::newRow("end only") << flash_dump(fw_end_marker, 20) << missing_marker_line(-1, 20);
        QByteArray end_before_begin = flash_dump(sample_block(), 100);
        end_before_begin.replace(4, 4, fw_end_marker);
        QTest::newRow("end before begin")
            << end_before_begin << missing_marker_line(100, 4) + QStringLiteral(" nr_of_pair_bytes = -168");
        QByteArray off_by_one = sample_block();
        off_by_one.insert(off_by_one.size() - 4, 'x');
        QTest::newRow("distance 72 + 1")
            << flash_dump(off_by_one, 0)
            << missing_marker_line(0, 73) + QStringLiteral(" nr_of_pair_bytes = 1");
        QTest::newRow("distance shorter than fields")
            << flash_dump(fw_begin_marker + QByteArray(10, 'a') + fw_end_marker, 0)
            << missing_marker_line(0, 14) + QStringLiteral(" nr_of_pair_bytes = -58");
    }
    void rejected_layouts_log_their_indexes() {
        QFETCH(QByteArray, data);
        QFETCH(QString, line);
        MessageCapture capture;
        const FW_Info info = make_FW_Info(data);
        QVERIFY(!info.valid);
        QCOMPARE(info.product_info, ProductInfo());
        QVERIFY(info.name.isNull());
        QVERIFY(info.details.isEmpty());
        QCOMPARE(capture.texts(QtDebugMsg), QStringList{line});
    }

    void marker_bounds_data() {
        QTest::addColumn<int>("begin");
        QTest::addColumn<int>("pairs");
        QTest::addColumn<bool>("valid");
        // The end marker lies at begin + 72 + 64 * pairs.
        QTest::newRow("end at 1948") << 1876 << 0 << true;
        QTest::newRow("end at 1949") << 1877 << 0 << false;
        QTest::newRow("end at 1948 with one pair") << 1812 << 1 << true;
        QTest::newRow("begin at 1949") << 1949 << 0 << false;
        QTest::newRow("begin at 0") << 0 << 0 << true;
    }
    void marker_bounds() {
        QFETCH(int, begin);
        QFETCH(int, pairs);
        QFETCH(bool, valid);
        const Pairs details(pairs, {"key", "value"});
        MessageCapture capture;
        const FW_Info info = make_FW_Info(flash_dump(sample_block(details), begin, 2048 + 200));
        QCOMPARE(info.valid, valid);
        QCOMPARE(info.details.size(), valid ? pairs : 0);
        QVERIFY(capture.empty());
    }

    void block_without_details_is_valid() {
        const FW_Info info = make_FW_Info(sample_block());
        QVERIFY(info.valid);
        QVERIFY(info.details.isEmpty());
    }

    void empty_pair_ends_the_details() {
        const FW_Info info = make_FW_Info(sample_block({{"one", "1"}, {"", "2"}, {"three", "3"}}));
        QVERIFY(info.valid);
        QCOMPARE(info.details.size(), 1);
        QCOMPARE(info.details[0].first, QStringLiteral("one"));

        const FW_Info no_value = make_FW_Info(sample_block({{"one", ""}, {"two", "2"}}));
        QVERIFY(no_value.valid);
        QVERIFY(no_value.details.isEmpty());
    }

    void unterminated_fields() {
        const QByteArray full(32, 'N');
        const FW_Info name_full = make_FW_Info(fw_block(qrmx, full, "1.0"));
        QVERIFY(name_full.valid);
        QVERIFY(name_full.name.isEmpty());
        QCOMPARE(name_full.revision, QStringLiteral("1.0"));

        const FW_Info key_full = make_FW_Info(sample_block({{"a", "b"}, {full, "c"}}));
        QVERIFY(key_full.valid);
        QCOMPARE(key_full.details.size(), 1);
    }

    void first_markers_count() {
        const QByteArray first = sample_block();
        const QByteArray second = fw_block(bytes({0x2B, 0xFF, 0xFF, 0xFF}), "other", "9.9");
        const FW_Info info = make_FW_Info(first + second);
        QVERIFY(info.valid);
        QCOMPARE(info.revision, QStringLiteral("2.4.1"));
        QCOMPARE(info.product_info.type, Type::QRMX);
    }

    void unknown_product_byte_is_kept() {
        const FW_Info info = make_FW_Info(fw_block(bytes({0x42, 0x01, 0xFF, 0xFF}), "x", "y"));
        QVERIFY(info.valid);
        QCOMPARE(info.product_info.type, Type::unknown);
        QCOMPARE(info.product_info.raw_type, 0x42);
    }

    void truncated_dumps_never_give_a_block() {
        const QByteArray dump = flash_dump(sample_block({{"k", "v"}}), 300);
        MessageCapture capture;
        for (int size = 0; size < 300 + 72 + 64 + 4; ++size)
            QVERIFY2(!make_FW_Info(dump.left(size)).valid, qPrintable(QString::number(size)));
        QVERIFY(make_FW_Info(dump.left(300 + 72 + 64 + 4)).valid);
    }

    void text_of_invalid_block() { QCOMPARE(QString(FW_Info()), QStringLiteral("FW info:\n\tInvalid")); }

    void text_of_valid_block() {
        const QByteArray key31(31, 'k');
        const FW_Info info = make_FW_Info(sample_block({{"build", "release"}, {key31, "v"}}));
        const QString expected = QStringLiteral("FW info:\n"
                                                "  Type: ProductInfo: QRMX (3)\n"
                                                "  Name: Nal-70 main\n"
                                                "  Rev.: 2.4.1\n"
                                                "  Details:\n"
                                                "    build") +
                                 QString(26, ' ') + QStringLiteral(": release") + QString(24, ' ') +
                                 QStringLiteral("\n    ") + QString(key31) + QStringLiteral(": v") +
                                 QString(30, ' ');
        QCOMPARE(QString(info), expected);
    }

    void text_without_details_ends_with_heading() {
        QVERIFY(QString(make_FW_Info(sample_block())).endsWith(QStringLiteral("  Rev.: 2.4.1\n  Details:")));
    }

    void debug_stream_is_unquoted() {
        QString text;
        QDebug(&text) << FW_Info() << QStringLiteral("q");
        QCOMPARE(text, QStringLiteral("FW info:\n\tInvalid \"q\" "));
    }

    void reads_files() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("info.bin"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(flash_dump(sample_block(), 64));
        file.close();
        QCOMPARE(make_FW_Info(path).revision, QStringLiteral("2.4.1"));

        MessageCapture capture;
        const FW_Info missing = make_FW_Info(dir.filePath(QStringLiteral("absent.bin")));
        QVERIFY(!missing.valid);
        QVERIFY(capture.empty());
    }
};

QTEST_GUILESS_MAIN(TestFwInfo)
#include "tst_fw_info.moc"
