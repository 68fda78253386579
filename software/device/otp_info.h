#pragma once

#include "device/product.h"

#include <QByteArray>
#include <QDebug>
#include <QString>

#include <array>
#include <cstdint>

namespace Device {

// The product record kept in the device's one-time-programmable area; the last record counts.
struct OTP_Info {
    ProductInfo product_info;
    std::array<uint8_t, 8> tail{};
    bool valid = false;
    bool blank = false;

    QString product_name() const;
    operator QString() const;
};

constexpr int OTP_area_size = 512;
constexpr int OTP_record_size = 16;

OTP_Info make_OTP_Info(QByteArray const& data);
OTP_Info make_OTP_Info(QString const& file_name);

QDebug operator<<(QDebug dbg, OTP_Info const& info);

} // namespace Device
