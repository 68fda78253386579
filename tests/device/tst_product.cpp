#include "device/product.h"

#include <QtTest>

#include <sstream>

using namespace Device;

Q_DECLARE_METATYPE(Device::Type)

static const QVector<uint8_t> catalogue_bytes{0x00, 0xFF, 0x03, 0x2B, 0x0B, 0x84, 0x1E, 0x8C, 0xFE};

class TestProduct : public QObject {
    Q_OBJECT

private slots:
    void catalogue_holds_nine_entries_in_order() {
        QCOMPARE(int(products.size()), catalogue_bytes.size());
        int row = 0;
        for (auto const& entry : products)
            QCOMPARE(uint8_t(entry.type), catalogue_bytes[row++]);
        QCOMPARE(products.find(QStringLiteral("SOLK"))->full_name,
                 QStringLiteral("Zentova F20 Plus<br>Zentova F20"));
        QCOMPARE(products.find(Type::HRVO)->code_name, QStringLiteral("Harvo"));
    }

    void byte_maps_to_itself_only_when_catalogued() {
        for (int b = 0; b < 256; ++b) {
            const bool catalogued = catalogue_bytes.contains(uint8_t(b));
            QCOMPARE(to_Type(uint8_t(b)), catalogued ? Type(b) : Type::unknown);
            QCOMPARE(products.find(uint8_t(b)) != products.end(), catalogued);
        }
    }

    void code_to_type_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<Type>("type");
        QTest::newRow("null") << QString() << Type::invalid;
        QTest::newRow("empty") << QStringLiteral("") << Type::invalid;
        QTest::newRow("invalid") << "invalid" << Type::invalid;
        QTest::newRow("undefined") << "undefined" << Type::undefined;
        QTest::newRow("unknown") << "unknown" << Type::unknown;
        QTest::newRow("QRMX") << "QRMX" << Type::QRMX;
        QTest::newRow("K7W") << "K7W" << Type::K7W;
        QTest::newRow("SOLK") << "SOLK" << Type::SOLK;
        QTest::newRow("lower case code") << "qrmx" << Type::unknown;
        QTest::newRow("code name") << "Quintar" << Type::unknown;
        QTest::newRow("short name") << "Nal-70" << Type::unknown;
        QTest::newRow("prefix of code") << "QRM" << Type::unknown;
        QTest::newRow("code with blank") << "QRMX " << Type::unknown;
    }
    void code_to_type() {
        QFETCH(QString, code);
        QFETCH(Type, type);
        QCOMPARE(to_Type(code), type);
    }

    void validity_data() {
        QTest::addColumn<int>("byte");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("known");
        QTest::newRow("invalid") << 0x00 << false << false;
        QTest::newRow("undefined") << 0xFF << false << false;
        QTest::newRow("unknown") << 0xFE << true << false;
        QTest::newRow("QRMX") << 0x03 << true << true;
        QTest::newRow("SOLK") << 0x8C << true << true;
        QTest::newRow("outside catalogue") << 0x42 << true << true;
    }
    void validity() {
        QFETCH(int, byte);
        QFETCH(bool, valid);
        QFETCH(bool, known);
        QCOMPARE(is_valid(Type(byte)), valid);
        QCOMPARE(is_known(Type(byte)), known);
    }

    void byte_outside_catalogue_fails_once_decoded() {
        const ProductInfo info = make_ProductInfo({0x42, 0xFF, 0xFF, 0xFF});
        QCOMPARE(info.type, Type::unknown);
        QCOMPARE(info.raw_type, 0x42);
        QVERIFY(!is_known(info.type));
    }

    void type_texts() {
        QCOMPARE(to_QString(Type::RIMA), QStringLiteral("RIMA"));
        QCOMPARE(to_QString(Type::unknown), QStringLiteral("unknown"));
        QCOMPARE(to_QString(Type(0x42)), QStringLiteral("impossible type"));
        QCOMPARE(to_string(Type::TOLV), std::string("TOLV"));
        std::ostringstream out;
        out << Type::K7W << '|' << Type(0x42);
        QCOMPARE(out.str(), std::string("K7W|impossible type"));
    }

    void type_debug_stream_is_unquoted_and_keeps_quoting() {
        QString text;
        QDebug(&text) << Type::QRMX << QStringLiteral("after");
        QCOMPARE(text, QStringLiteral("QRMX \"after\" "));
    }

    void product_info_text_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QByteArray("\x03\xff\xff\xff", 4) << "ProductInfo: QRMX (3)";
        QTest::newRow("extension set")
            << QByteArray("\x03\x01\xff\xff", 4) << "ProductInfo: QRMX (3) [03 01 ff ff]";
        QTest::newRow("outside catalogue")
            << QByteArray("\x42\xff\xff\xff", 4) << "ProductInfo: unknown (254) [42 ff ff ff]";
        QTest::newRow("undefined") << QByteArray("\xff\xff\xff\xff", 4) << "ProductInfo: undefined (255)";
        QTest::newRow("unknown byte itself")
            << QByteArray("\xfe\xff\xff\xff", 4) << "ProductInfo: unknown (254) [fe ff ff ff]";
        QTest::newRow("large type") << QByteArray("\x8c\x00\xab\xff", 4)
                                    << "ProductInfo: SOLK (140) [8c 00 ab ff]";
    }
    void product_info_text() {
        QFETCH(QByteArray, raw);
        QFETCH(QString, text);
        const ProductInfo info =
            make_ProductInfo({uint8_t(raw[0]), uint8_t(raw[1]), uint8_t(raw[2]), uint8_t(raw[3])});
        QCOMPARE(QString(info), text);
        QString streamed;
        QDebug(&streamed) << info << QStringLiteral("x");
        QCOMPARE(streamed, text + QStringLiteral(" \"x\" "));
    }

    void default_product_info() {
        const ProductInfo info;
        QCOMPARE(QString(info), QStringLiteral("ProductInfo: invalid (0)"));
        QCOMPARE(info.raw_type, 0);
        QCOMPARE(info.ext1, uint8_t(0xFF));
        QCOMPARE(info.ext3, uint8_t(0xFF));
    }

    void type_only_info_prints_its_type_byte() {
        ProductInfo info;
        info.type = Type::SOLK;
        QCOMPARE(QString(info), QStringLiteral("ProductInfo: SOLK (140)"));
    }

    void equality_ignores_raw_type() {
        QCOMPARE(make_ProductInfo({0x42, 0xFF, 0xFF, 0xFF}), make_ProductInfo({0x43, 0xFF, 0xFF, 0xFF}));
        QVERIFY(make_ProductInfo({0x03, 0xFF, 0x01, 0xFF}) != make_ProductInfo({0x03, 0xFF, 0x02, 0xFF}));
        QVERIFY(make_ProductInfo({0x03, 0xFF, 0xFF, 0xFF}) != make_ProductInfo({0x2B, 0xFF, 0xFF, 0xFF}));
        QCOMPARE(make_ProductInfo({0x00, 0xFF, 0xFF, 0xFF}), ProductInfo());
    }

    void product_names_data() {
        QTest::addColumn<int>("byte");
        QTest::addColumn<QString>("short_name");
        QTest::addColumn<QString>("full_name");
        QTest::newRow("invalid") << 0x00 << "N/A"
                                 << "N/A";
        QTest::newRow("undefined") << 0xFF << "?"
                                   << "?";
        QTest::newRow("unknown") << 0xFE << "unknown"
                                 << "unknown";
        QTest::newRow("QRMX") << 0x03 << "Nal-70"
                              << "Nal-70 SkyLnk";
        QTest::newRow("TOLV") << 0x84 << "M3Z"
                              << "Zentova M3Z";
        QTest::newRow("SOLK") << 0x8C << "F20"
                              << "Zentova F20 Plus<br>Zentova F20";
        QTest::newRow("outside catalogue") << 0x42 << ""
                                           << "";
    }
    void product_names() {
        QFETCH(int, byte);
        QFETCH(QString, short_name);
        QFETCH(QString, full_name);
        ProductInfo info;
        info.type = Type(byte);
        QCOMPARE(info.product_name(), short_name);
        QCOMPARE(info.product_name_full(), full_name);
    }
};

QTEST_GUILESS_MAIN(TestProduct)
#include "tst_product.moc"
