#include "device/otp_info.h"

#include <QFile>

#include <algorithm>

namespace Device {

namespace {

const QByteArray otp_marker("\x11\x47\x23\x01", 4);

constexpr int last_record_index = OTP_area_size - OTP_record_size;

bool is_erased(QByteArray const& data) {
    return std::all_of(data.begin(), data.end(), [](char c) { return uint8_t(c) == 0xFF; });
}

// A record must start on a 16-byte boundary inside the area and lie wholly inside the data.
bool is_usable_record_index(QByteArray const& data, int index) {
    return index >= 0 && index % OTP_record_size == 0 && index <= last_record_index &&
           index + OTP_record_size <= data.size();
}

OTP_Info decode_record(QByteArray const& data, int index) {
    auto byte = [&](int i) { return static_cast<uint8_t>(data.at(index + i)); };
    OTP_Info info;
    info.product_info = make_ProductInfo({byte(4), byte(5), byte(6), byte(7)});
    for (int i = 0; i < int(info.tail.size()); ++i)
        info.tail[i] = byte(8 + i);
    return info;
}

} // namespace

OTP_Info make_OTP_Info(QByteArray const& data) {
    OTP_Info info;
    if (is_erased(data)) {
        info.blank = true;
        return info;
    }
    const int index = data.lastIndexOf(otp_marker);
    if (!is_usable_record_index(data, index))
        return info;
    info = decode_record(data, index);
    info.valid = is_valid(info.product_info.type);
    if (!info.valid) {
        qInfo() << "Device not used, has invalid info in its OTP info.";
        return info;
    }
    if (!is_known(info.product_info.type)) {
        qInfo() << "Unknown device type according to OTP info, " << QString(info.product_info);
        info.product_info.type = Type::invalid;
        info.valid = false;
    }
    return info;
}

OTP_Info make_OTP_Info(QString const& file_name) {
    QFile file(file_name);
    if (!file.open(QIODevice::ReadOnly))
        return OTP_Info();
    return make_OTP_Info(file.readAll());
}

QString OTP_Info::product_name() const {
    return product_info.product_name();
}

OTP_Info::operator QString() const {
    return QStringLiteral("OTP info:\nMarker %1\nProduct: %2\n")
        .arg(valid ? QStringLiteral("valid") : QStringLiteral("invalid"), QString(product_info));
}

QDebug operator<<(QDebug dbg, OTP_Info const& info) {
    QDebugStateSaver saver(dbg);
    dbg.noquote() << QString(info);
    return dbg;
}

} // namespace Device
