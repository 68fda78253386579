#include "device/fw_info.h"

#include <QFile>

#include <cstring>

namespace Device {

namespace {

const QByteArray begin_marker("\x12\x47\x23\x01", 4);
const QByteArray end_marker("\x13\x47\x23\x01", 4);

constexpr int field_size = 32;
constexpr int product_offset = 4;
constexpr int name_offset = 8;
constexpr int revision_offset = 40;
constexpr int details_offset = 72;
constexpr int pair_size = 2 * field_size;

ProductInfoRaw raw_product_at(QByteArray const& data, int index) {
    auto byte = [&](int i) { return static_cast<uint8_t>(data.at(index + i)); };
    return {byte(0), byte(1), byte(2), byte(3)};
}

} // namespace

int local_strlen(const char* field) {
    auto nul = static_cast<const char*>(std::memchr(field, '\0', field_size));
    return nul ? int(nul - field) : -1;
}

// A field cut short by the end of the data ends there, as if a NUL followed it.
QString get_string(QByteArray const& data, int index) {
    if (index < 0 || index >= data.size())
        return QStringLiteral("");
    const int available = std::min(field_size, data.size() - index);
    const char* field = data.constData() + index;
    auto nul = static_cast<const char*>(std::memchr(field, '\0', available));
    if (nul)
        return QString::fromUtf8(field, int(nul - field));
    if (available < field_size)
        return QString::fromUtf8(field, available);
    return QString();
}

FW_Info make_FW_Info(QByteArray data) {
    FW_Info info;
    const int index_beg = data.indexOf(begin_marker);
    const int index_end = data.indexOf(end_marker);
    if (index_beg == -1 || index_end == -1) {
        qDebug() << "index_beg = " << index_beg << "index_end = " << index_end;
        return info;
    }
    if (index_beg > FW_Info_max_marker_index || index_end > FW_Info_max_marker_index)
        return info;
    const int nr_of_pair_bytes = index_end - index_beg - details_offset;
    if (nr_of_pair_bytes < 0 || nr_of_pair_bytes % pair_size != 0) {
        qDebug() << "index_beg = " << index_beg << "index_end = " << index_end
                 << "nr_of_pair_bytes =" << nr_of_pair_bytes;
        return info;
    }
    info.product_info = make_ProductInfo(raw_product_at(data, index_beg + product_offset));
    info.name = get_string(data, index_beg + name_offset);
    info.revision = get_string(data, index_beg + revision_offset);
    for (int i = 0; i < nr_of_pair_bytes / pair_size; ++i) {
        const int key_index = index_beg + details_offset + pair_size * i;
        const QString key = get_string(data, key_index);
        const QString value = get_string(data, key_index + field_size);
        if (key.isEmpty() || value.isEmpty())
            break;
        info.details.append({key, value});
    }
    info.valid = true;
    return info;
}

// Only the head of the file, where a block can lie: a marker beyond it makes the block invalid either way.
FW_Info make_FW_Info(QString const& file_name) {
    QFile file(file_name);
    if (!file.open(QIODevice::ReadOnly))
        return FW_Info();
    return make_FW_Info(file.read(FW_Info_max_marker_index + end_marker.size()));
}

FW_Info::operator QString() const {
    if (!valid)
        return QStringLiteral("FW info:\n\tInvalid");
    QString text = QStringLiteral("FW info:\n");
    text += QStringLiteral("  Type: %1\n").arg(QString(product_info));
    text += QStringLiteral("  Name: ") + name + QLatin1Char('\n');
    text += QStringLiteral("  Rev.: ") + revision + QLatin1Char('\n');
    text += QStringLiteral("  Details:");
    for (auto const& pair : details)
        text += QStringLiteral("\n    ") + pair.first.leftJustified(31) + QStringLiteral(": ") +
                pair.second.leftJustified(31);
    return text;
}

QDebug operator<<(QDebug dbg, FW_Info const& info) {
    QDebugStateSaver saver(dbg);
    dbg.noquote() << QString(info);
    return dbg;
}

} // namespace Device
