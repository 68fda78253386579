#pragma once

// Builders for the binary blocks a device or firmware image carries, for tests and benchmarks.

#include <QByteArray>
#include <QPair>
#include <QVector>

#include <cstdint>

namespace test_blocks {

inline QByteArray bytes(std::initializer_list<uint8_t> list) {
    QByteArray result;
    for (uint8_t b : list)
        result.append(char(b));
    return result;
}

inline const QByteArray fw_begin_marker = bytes({0x12, 0x47, 0x23, 0x01});
inline const QByteArray fw_end_marker = bytes({0x13, 0x47, 0x23, 0x01});
inline const QByteArray otp_marker = bytes({0x11, 0x47, 0x23, 0x01});

// A 32-byte text field: the text, then NUL padding. A text of 32 bytes or more fills it without NUL.
inline QByteArray text_field(QByteArray const& text) {
    QByteArray field = text.left(32);
    field.append(QByteArray(32 - field.size(), '\0'));
    return field;
}

using Pairs = QVector<QPair<QByteArray, QByteArray>>;

inline QByteArray fw_block(QByteArray const& product, QByteArray const& name, QByteArray const& revision,
                           Pairs const& details = {}) {
    QByteArray block = fw_begin_marker + product + text_field(name) + text_field(revision);
    for (auto const& pair : details)
        block += text_field(pair.first) + text_field(pair.second);
    return block + fw_end_marker;
}

// A flash dump of `size` erased bytes with `block` placed at `offset`.
inline QByteArray flash_dump(QByteArray const& block, int offset, int size = 2048) {
    QByteArray dump(size, char(0xFF));
    dump.replace(offset, block.size(), block);
    return dump.left(size);
}

inline QByteArray otp_record(QByteArray const& product, QByteArray const& tail = QByteArray(8, '\0')) {
    return otp_marker + product + tail;
}

// An erased OTP area of `size` bytes with each record placed at its offset.
inline QByteArray otp_area(QVector<QPair<int, QByteArray>> const& records, int size = 512) {
    QByteArray area(size, char(0xFF));
    for (auto const& r : records)
        area.replace(r.first, r.second.size(), r.second);
    return area.left(size);
}

} // namespace test_blocks
