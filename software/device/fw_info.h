#pragma once

#include "device/product.h"

#include <QByteArray>
#include <QDebug>
#include <QPair>
#include <QString>
#include <QVector>

namespace Device {

// The firmware information block found near the start of every firmware image.
struct FW_Info {
    ProductInfo product_info;
    QString name;
    QString revision;
    QVector<QPair<QString, QString>> details;
    bool valid = false;

    operator QString() const;
};

// Both markers must lie within the first 2048 bytes of flash, less room for the block's own fields.
constexpr int FW_Info_max_marker_index = 2048 - 100;

int local_strlen(const char* field);
QString get_string(QByteArray const& data, int index);

FW_Info make_FW_Info(QByteArray data);
FW_Info make_FW_Info(QString const& file_name);

QDebug operator<<(QDebug dbg, FW_Info const& info);

} // namespace Device
