#include "device/product.h"

#include <algorithm>

namespace Device {

const Products products({
    {Type::invalid, "invalid", "Invalid", "N/A", "N/A"},
    {Type::undefined, "undefined", "Undefined", "?", "?"},
    {Type::QRMX, "QRMX", "Quintar", "Nal-70", "Nal-70 SkyLnk"},
    {Type::HRVO, "HRVO", "Harvo", "K7", "K7 SkyLnk"},
    {Type::K7W, "K7W", "K7w", "K7 Heavy Duty", "K7 Heavy Duty"},
    {Type::TOLV, "TOLV", "Tolva", "M3Z", "Zentova M3Z"},
    {Type::RIMA, "RIMA", "Rima", "RIMA", "Zentova RIMA"},
    {Type::SOLK, "SOLK", "Cendrel", "F20", "Zentova F20 Plus<br>Zentova F20"},
    {Type::unknown, "unknown", "Unknown", "unknown", "unknown"},
});

Products::const_iterator Products::find(Type type) const {
    return std::find_if(begin(), end(), [type](ProductEntry const& e) { return e.type == type; });
}

Products::const_iterator Products::find(unsigned char type) const {
    return find(static_cast<Type>(type));
}

Products::const_iterator Products::find(QString const& code) const {
    return std::find_if(begin(), end(), [&code](ProductEntry const& e) { return e.code == code; });
}

bool is_valid(Type type) {
    return type != Type::invalid && type != Type::undefined;
}

bool is_known(Type type) {
    return is_valid(type) && type != Type::unknown;
}

Type to_Type(unsigned char byte) {
    return products.find(byte) != products.end() ? static_cast<Type>(byte) : Type::unknown;
}

Type to_Type(QString const& code) {
    if (code.isEmpty())
        return Type::invalid;
    auto entry = products.find(code);
    return entry != products.end() ? entry->type : Type::unknown;
}

QString to_QString(Type type) {
    auto entry = products.find(type);
    return entry != products.end() ? entry->code : QStringLiteral("impossible type");
}

std::string to_string(Type type) {
    return to_QString(type).toStdString();
}

std::ostream& operator<<(std::ostream& out, Type type) {
    return out << to_string(type);
}

QDebug operator<<(QDebug dbg, Type type) {
    QDebugStateSaver saver(dbg);
    dbg.noquote() << to_QString(type);
    return dbg;
}

ProductInfo make_ProductInfo(ProductInfoRaw raw) {
    ProductInfo info;
    info.type = to_Type(raw.type);
    info.ext1 = raw.ext1;
    info.ext2 = raw.ext2;
    info.ext3 = raw.ext3;
    info.raw_type = raw.type;
    return info;
}

bool operator==(ProductInfo const& a, ProductInfo const& b) {
    return a.type == b.type && a.ext1 == b.ext1 && a.ext2 == b.ext2 && a.ext3 == b.ext3;
}

bool operator!=(ProductInfo const& a, ProductInfo const& b) {
    return !(a == b);
}

static QString hex2(int value) {
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0'));
}

ProductInfo::operator QString() const {
    QString text = QStringLiteral("ProductInfo: %1 (%2)").arg(to_QString(type)).arg(unsigned(type));
    if (type == Type::unknown || ext1 != 0xFF || ext2 != 0xFF || ext3 != 0xFF)
        text += QStringLiteral(" [%1 %2 %3 %4]").arg(hex2(raw_type), hex2(ext1), hex2(ext2), hex2(ext3));
    return text;
}

QString ProductInfo::product_name() const {
    auto entry = products.find(type);
    return entry != products.end() ? entry->short_name : QString();
}

QString ProductInfo::product_name_full() const {
    auto entry = products.find(type);
    return entry != products.end() ? entry->full_name : QString();
}

QDebug operator<<(QDebug dbg, ProductInfo const& info) {
    QDebugStateSaver saver(dbg);
    dbg.noquote() << QString(info);
    return dbg;
}

} // namespace Device
