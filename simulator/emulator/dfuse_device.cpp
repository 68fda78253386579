#include "dfuse_device.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <libusb-1.0/libusb.h>

namespace sim {

namespace {

enum State : long {
    dfuIDLE = 2,
    dfuDNLOAD_SYNC = 3,
    dfuDNBUSY = 4,
    dfuDNLOAD_IDLE = 5,
    dfuMANIFEST_SYNC = 6,
    dfuMANIFEST = 7,
    dfuUPLOAD_IDLE = 9,
    dfuERROR = 10,
};

enum Status : long {
    OK = 0,
    errTARGET = 1,
    errWRITE = 3,
    errERASE = 4,
    errVERIFY = 7,
    errADDRESS = 8,
    errSTALLEDPKT = 15,
};

enum Request : uint8_t {
    DETACH = 0,
    DNLOAD = 1,
    UPLOAD = 2,
    GETSTATUS = 3,
    CLRSTATUS = 4,
    GETSTATE = 5,
    ABORT = 6
};

constexpr uint32_t flash_base = 0x08000000;
constexpr uint32_t flash_size = 1024 * 1024;

enum class Kind { flash, otp, plain, feature };

struct Segment {
    uint32_t start;
    uint32_t size;
    const char* file;
    Kind kind;
    bool erasable;

    bool holds(uint32_t address, uint32_t length = 1) const {
        return address >= start && uint64_t(address) + length <= uint64_t(start) + size;
    }
};

std::vector<Segment> memory(int alt) {
    switch (alt) {
    case 0:
        return {{flash_base, flash_size, "flash.bin", Kind::flash, true}};
    case 1:
        return {{0x1FFFC000, 16, "option.bin", Kind::plain, false}};
    case 2:
        return {{0x1FFF7800, 512, "otp.bin", Kind::otp, false},
                {0x1FFF7A00, 16, "otp_lock.bin", Kind::plain, false}};
    default:
        return {{0xFFFF0000, 4, nullptr, Kind::feature, false}};
    }
}

const Segment* segment_for(int alt, uint32_t address, uint32_t length = 1) {
    static const std::vector<Segment> alts[alt_count] = {memory(0), memory(1), memory(2), memory(3)};
    if (alt < 0 || alt >= alt_count)
        return nullptr;
    for (const auto& segment : alts[alt])
        if (segment.holds(address, length))
            return &segment;
    return nullptr;
}

// The F4 sector layout: four 16 KiB, one 64 KiB, seven 128 KiB.
void flash_sector(uint32_t address, uint32_t& start, uint32_t& size) {
    uint32_t offset = address - flash_base;
    if (offset < 0x10000) {
        start = flash_base + offset / 0x4000 * 0x4000;
        size = 0x4000;
    } else if (offset < 0x20000) {
        start = flash_base + 0x10000;
        size = 0x10000;
    } else {
        start = flash_base + offset / 0x20000 * 0x20000;
        size = 0x20000;
    }
}

long timing(const Session& session, const char* key, long realistic) {
    return session.fast ? 0 : session.world.number(key, realistic);
}

long erase_time(const Session& session, uint32_t size) {
    if (size == 0x4000)
        return timing(session, "erase_16k_ms", 250);
    if (size == 0x10000)
        return timing(session, "erase_64k_ms", 550);
    return timing(session, "erase_128k_ms", 1000);
}

std::string memory_file(const Session& session, const Segment& segment) {
    return device_path(session.id, segment.file);
}

void log_request(const Session& session, const std::string& text) {
    append_log(session.id + " " + text);
}

int stall(Session& session, const std::string& why) {
    session.device.set("dfu_state", dfuERROR);
    session.device.set("dfu_status", errSTALLEDPKT);
    log_request(session, "STALL " + why);
    return LIBUSB_ERROR_PIPE;
}

// The outcome is decided at once; the host sees it after one busy answer, as from the real chip.
void finish_later(Session& session, Status status, long busy_poll_ms, long work_ms) {
    session.device.set("dfu_state", dfuDNLOAD_SYNC);
    session.device.set("pending_status", status);
    session.device.set("pending_poll_ms", busy_poll_ms);
    session.device.set("pending_work_ms", work_ms);
}

uint32_t fault_address(const Session& session, const char* key) {
    return uint32_t(session.device.number(key, 0));
}

bool within(uint32_t address, uint32_t start, uint32_t size) {
    return address >= start && address - start < size;
}

Status erase_sector(Session& session, uint32_t address, long& work_ms) {
    const Segment* segment = segment_for(session.alt, address);
    if (!segment || !segment->erasable)
        return errTARGET;
    uint32_t start, size;
    flash_sector(address, start, size);
    work_ms = erase_time(session, size);
    uint32_t failing = fault_address(session, "erase_fail_at");
    if (failing && within(failing, start, size))
        return errERASE;
    // ignore_writes: every erase and write is answered as done, and nothing changes.
    if (session.device.flag("ignore_writes")) {
        log_request(session, "ERASE_IGNORED " + hex(start));
        return OK;
    }
    Bytes erased(size, 0xFF);
    log_request(session, "ERASE " + hex(start) + " size=" + std::to_string(size));
    return write_at(memory_file(session, *segment), start - segment->start, erased.data(), size) ? OK
                                                                                                 : errERASE;
}

Status mass_erase(Session& session, long& work_ms) {
    if (session.alt != 0)
        return errTARGET;
    Bytes erased(flash_size, 0xFF);
    work_ms = timing(session, "mass_erase_ms", 8000);
    log_request(session, "MASS_ERASE");
    return write_at(device_path(session.id, "flash.bin"), 0, erased.data(), flash_size) ? OK : errERASE;
}

int special_command(Session& session, const uint8_t* data, uint16_t length) {
    uint32_t address =
        length >= 5 ? uint32_t(data[1] | data[2] << 8 | data[3] << 16 | uint32_t(data[4]) << 24) : 0;
    long erase_poll = timing(session, "poll_erase_ms", 100);
    long work_ms = 0;
    if (data[0] == 0x21 && length == 5) {
        bool known = segment_for(session.alt, address);
        if (known)
            session.device.set("pointer", hex(address));
        log_request(session, "SET_ADDRESS " + hex(address));
        finish_later(session, known ? OK : errTARGET, timing(session, "poll_address_ms", 5), 0);
    } else if (data[0] == 0x41 && length == 5) {
        Status status = erase_sector(session, address, work_ms);
        finish_later(session, status, erase_poll, work_ms);
    } else if ((data[0] == 0x41 || data[0] == 0x92) && length == 1) {
        Status status = mass_erase(session, work_ms);
        finish_later(session, status, erase_poll, work_ms);
    } else {
        return stall(session, "unknown special command");
    }
    return length;
}

// Programming can only clear bits; a stuck cell keeps its erased value and the chip does not notice.
Status program(Session& session, const Segment& segment, uint32_t address, const uint8_t* data,
               uint32_t length) {
    Bytes cells(length);
    std::string file = memory_file(session, segment);
    if (!read_at(file, address - segment.start, cells.data(), length))
        return errWRITE;
    uint32_t failing = fault_address(session, "write_fail_at");
    uint32_t stuck = fault_address(session, "bad_cell");
    Status status = OK;
    uint32_t done = 0;
    for (; done < length; ++done) {
        uint32_t cell = address + done;
        if (failing && cell == failing) {
            status = errWRITE;
            break;
        }
        if (stuck && cell == stuck)
            continue;
        uint8_t programmed = cells[done] & data[done];
        if (programmed != data[done])
            status = errVERIFY;
        cells[done] = programmed;
    }
    write_at(file, address - segment.start, cells.data(), done);
    return status;
}

bool otp_block_locked(Session& session, uint32_t address, uint32_t length) {
    uint8_t locks[16];
    if (!read_at(device_path(session.id, "otp_lock.bin"), 0, locks, 16))
        return true;
    for (uint32_t block = (address - 0x1FFF7800) / 32; block <= (address + length - 1 - 0x1FFF7800) / 32;
         ++block)
        if (block < 16 && locks[block] == 0x00)
            return true;
    return false;
}

Status write_memory(Session& session, uint32_t address, const uint8_t* data, uint16_t length) {
    const Segment* segment = segment_for(session.alt, address, length);
    if (!segment)
        return errADDRESS;
    switch (segment->kind) {
    case Kind::flash:
        if (session.device.flag("ignore_writes"))
            return OK;
        return program(session, *segment, address, data, length);
    case Kind::otp:
        return otp_block_locked(session, address, length) ? errWRITE
                                                          : program(session, *segment, address, data, length);
    case Kind::plain:
        return write_at(memory_file(session, *segment), address - segment->start, data, length) ? OK
                                                                                                : errWRITE;
    case Kind::feature:
        return OK;
    }
    return errTARGET;
}

int download_chunk(Session& session, uint16_t block, const uint8_t* data, uint16_t length) {
    uint32_t address = uint32_t(session.device.number("pointer")) + uint32_t(block - 2) * transfer_size;
    uint32_t disconnect = fault_address(session, "disconnect_at");
    if (disconnect && within(disconnect, address, length)) {
        log_request(session, "DISCONNECT during write at " + hex(address));
        detach(session.device, session.fast);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    uint32_t lost = fault_address(session, "timeout_at");
    if (lost && within(lost, address, length)) {
        log_request(session, "TIMEOUT during write at " + hex(address));
        session.delay_ms = timing(session, "transfer_timeout_ms", 5000);
        return LIBUSB_ERROR_TIMEOUT;
    }
    Status status = write_memory(session, address, data, length);
    log_request(session, "WRITE " + hex(address) + " len=" + std::to_string(length) +
                             " status=" + std::to_string(status));
    long chunks = (length + transfer_size - 1) / transfer_size;
    finish_later(session, status, timing(session, "poll_write_ms", 20),
                 chunks * timing(session, "write_chunk_ms", 8));
    return length;
}

int download(Session& session, uint16_t value, uint8_t* data, uint16_t length) {
    long state = session.device.number("dfu_state");
    if (state != dfuIDLE && state != dfuDNLOAD_IDLE)
        return stall(session, "DNLOAD in state " + std::to_string(state));
    if (length == 0) {
        if (value == 0)
            return stall(session, "empty special command");
        session.device.set("dfu_state", dfuMANIFEST_SYNC);
        log_request(session, "LEAVE_REQUEST");
        return 0;
    }
    if (value == 0)
        return special_command(session, data, length);
    if (value == 1)
        return stall(session, "DNLOAD block 1");
    return download_chunk(session, value, data, length);
}

int upload(Session& session, uint16_t value, uint8_t* data, uint16_t length) {
    long state = session.device.number("dfu_state");
    if (state != dfuIDLE && state != dfuUPLOAD_IDLE)
        return stall(session, "UPLOAD in state " + std::to_string(state));
    if (value == 0) {
        const uint8_t commands[4] = {0x00, 0x21, 0x41, 0x92};
        uint16_t count = std::min<uint16_t>(length, 4);
        std::memcpy(data, commands, count);
        session.device.set("dfu_state", dfuUPLOAD_IDLE);
        return count;
    }
    if (value == 1 || session.device.number("upload_stall_alt", -1) == session.alt)
        return stall(session, "UPLOAD refused on alt " + std::to_string(session.alt));
    uint32_t offset = uint32_t(value - 2) * transfer_size;
    uint32_t address = uint32_t(session.device.number("pointer")) + offset;
    const Segment* segment = segment_for(session.alt, address);
    if (!segment)
        return stall(session, "UPLOAD outside memory at " + hex(address));
    uint32_t count = std::min<uint32_t>(length, segment->start + segment->size - address);
    long cap = session.device.number("short_upload", 0);
    if (cap > 0)
        count = offset >= uint32_t(cap) ? 0 : std::min<uint32_t>(count, uint32_t(cap) - offset);
    if (segment->kind == Kind::feature)
        std::memset(data, 0, count);
    else if (!read_at(memory_file(session, *segment), address - segment->start, data, count))
        return stall(session, "UPLOAD read failed");
    session.device.set("dfu_state", dfuUPLOAD_IDLE);
    session.delay_ms = timing(session, "upload_ms", 3);
    log_request(session, "UPLOAD " + hex(address) + " len=" + std::to_string(count));
    return int(count);
}

int answer_status(Session& session, uint8_t* data, uint16_t length, long state, long status, long poll_ms) {
    if (length < 6)
        return stall(session, "short GETSTATUS");
    data[0] = uint8_t(status);
    data[1] = uint8_t(poll_ms);
    data[2] = uint8_t(poll_ms >> 8);
    data[3] = uint8_t(poll_ms >> 16);
    data[4] = uint8_t(state);
    data[5] = 0;
    log_request(session, "GETSTATUS state=" + std::to_string(state) + " status=" + std::to_string(status) +
                             " poll=" + std::to_string(poll_ms));
    return 6;
}

int get_status(Session& session, uint8_t* data, uint16_t length) {
    Record& device = session.device;
    long state = device.number("dfu_state");
    if (state == dfuDNLOAD_SYNC || (state == dfuDNBUSY && device.flag("busy_forever"))) {
        device.set("dfu_state", dfuDNBUSY);
        long poll = device.flag("busy_forever") ? timing(session, "poll_erase_ms", 100)
                                                : device.number("pending_poll_ms");
        return answer_status(session, data, length, dfuDNBUSY, OK, poll);
    }
    if (state == dfuDNBUSY) {
        long status = device.number("pending_status");
        session.delay_ms = std::max(0L, device.number("pending_work_ms") - device.number("pending_poll_ms"));
        device.set("dfu_state", status == OK ? dfuDNLOAD_IDLE : dfuERROR);
        device.set("dfu_status", status);
        return answer_status(session, data, length, status == OK ? dfuDNLOAD_IDLE : dfuERROR, status, 0);
    }
    if (state == dfuMANIFEST_SYNC) {
        if (device.flag("leave_no_manifest")) {
            log_request(session, "LEAVE without answer");
            detach(device, session.fast);
            return LIBUSB_ERROR_NO_DEVICE;
        }
        int answered = answer_status(session, data, length, dfuMANIFEST, OK, 0);
        log_request(session, "LEAVE");
        detach(device, session.fast);
        return answered;
    }
    return answer_status(session, data, length, state, device.number("dfu_status"), 0);
}

int clear_status(Session& session) {
    if (session.device.number("dfu_state") != dfuERROR)
        return stall(session, "CLRSTATUS outside dfuERROR");
    session.device.set("dfu_state", dfuIDLE);
    session.device.set("dfu_status", OK);
    log_request(session, "CLRSTATUS");
    return 0;
}

int abort_request(Session& session) {
    long state = session.device.number("dfu_state");
    if (state != dfuIDLE && state != dfuDNLOAD_IDLE && state != dfuUPLOAD_IDLE)
        return stall(session, "ABORT in state " + std::to_string(state));
    session.device.set("dfu_state", dfuIDLE);
    log_request(session, "ABORT");
    return 0;
}

} // namespace

int dfu_request(Session& session, uint8_t request, uint16_t value, uint8_t* data, uint16_t length) {
    switch (request) {
    case DNLOAD:
        return download(session, value, data, length);
    case UPLOAD:
        return upload(session, value, data, length);
    case GETSTATUS:
        return get_status(session, data, length);
    case CLRSTATUS:
        return clear_status(session);
    case GETSTATE:
        if (length < 1)
            return stall(session, "short GETSTATE");
        data[0] = uint8_t(session.device.number("dfu_state"));
        return 1;
    case ABORT:
        return abort_request(session);
    case DETACH:
        log_request(session, "DETACH");
        return 0;
    default:
        return stall(session, "request " + std::to_string(request));
    }
}

std::string alt_name(int alt) {
    switch (alt) {
    case 0:
        return "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg";
    case 1:
        return "@Option Bytes  /0x1FFFC000/01*016 e";
    case 2:
        return "@OTP Memory /0x1FFF7800/01*512 e,01*016 e";
    default:
        return "@Device Feature/0xFFFF0000/01*004 e";
    }
}

bool fast_mode(const Record& world) {
    const char* fast = std::getenv("DFU_SIM_FAST");
    return (fast && std::strcmp(fast, "1") == 0) || world.flag("fast");
}

void detach(Record& device, bool fast) {
    device.set("attached", 0);
    device.set("dfu_state", dfuIDLE);
    device.set("dfu_status", OK);
    device.set("pointer", hex(flash_base));
    device.set("absent_lists", 0);
    long delay = fast ? device.number("reenter_delay_fast_ms", 0) : device.number("reenter_delay_ms", 1000);
    device.set("reenter_at", device.flag("reenter") ? now_ms() + delay : 0);
}

void attach(Record& device, Record& world) {
    long address = world.number("next_address", 5);
    world.set("next_address", address + 1 > 127 ? 5 : address + 1);
    device.set("address", address);
    device.set("attached", 1);
    device.set("reenter_at", 0);
    device.set("absent_lists", 0);
}

void update_attachment(Record& device, Record& world, bool listing) {
    if (device.flag("attached") || device.number("reenter_at") == 0)
        return;
    bool missed_enough = device.number("absent_lists") >= device.number("reenter_lists", 1);
    if (missed_enough && now_ms() >= device.number("reenter_at")) {
        attach(device, world);
        return;
    }
    if (listing)
        device.set("absent_lists", device.number("absent_lists") + 1);
}

} // namespace sim
