#pragma once

#include <QDebug>
#include <QString>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace Device {

// The product type byte as stored in the OTP record and in every firmware information block.
enum class Type : uint8_t {
    invalid = 0x00,
    QRMX = 0x03,
    K7W = 0x0B,
    RIMA = 0x1E,
    HRVO = 0x2B,
    TOLV = 0x84,
    SOLK = 0x8C,
    unknown = 0xFE,
    undefined = 0xFF,
};

// The four product bytes exactly as they lie in the OTP record and the firmware information block.
struct ProductInfoRaw {
    uint8_t type;
    uint8_t ext1;
    uint8_t ext2;
    uint8_t ext3;
};

struct ProductInfo {
    Type type = Type::invalid;
    uint8_t ext1 = 0xFF;
    uint8_t ext2 = 0xFF;
    uint8_t ext3 = 0xFF;
    int32_t raw_type = 0; // the byte as read, kept when it is not in the catalogue

    operator QString() const;
    QString product_name() const;
    QString product_name_full() const;
};

struct ProductEntry {
    Type type;
    QString code;
    QString code_name;
    QString short_name;
    QString full_name;
};

// The fixed catalogue; every lookup scans it in order and the first match wins.
class Products {
public:
    using const_iterator = std::vector<ProductEntry>::const_iterator;

    explicit Products(std::vector<ProductEntry> entries) : entries(std::move(entries)) {}

    const_iterator begin() const { return entries.begin(); }
    const_iterator end() const { return entries.end(); }
    std::size_t size() const { return entries.size(); }

    const_iterator find(Type type) const;
    const_iterator find(unsigned char type) const;
    const_iterator find(QString const& code) const;

private:
    std::vector<ProductEntry> entries;
};

extern const Products products;

bool is_valid(Type type);
bool is_known(Type type);
Type to_Type(unsigned char byte);
Type to_Type(QString const& code);
QString to_QString(Type type);
std::string to_string(Type type);
std::ostream& operator<<(std::ostream& out, Type type);
QDebug operator<<(QDebug dbg, Type type);

ProductInfo make_ProductInfo(ProductInfoRaw raw);
bool operator==(ProductInfo const& a, ProductInfo const& b);
bool operator!=(ProductInfo const& a, ProductInfo const& b);
QDebug operator<<(QDebug dbg, ProductInfo const& info);

} // namespace Device
