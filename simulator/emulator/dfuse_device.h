#pragma once

// An STM32F4 ROM bootloader in DFU mode (DfuSe 1.1a), driven request by request. Each request works on the
// device's persisted record and memory files with the state lock held; delays that a real chip would need
// are handed back so the caller can sleep after releasing the lock.

#include "sim_state.h"

namespace sim {

constexpr int transfer_size = 2048;
constexpr int alt_count = 4;

struct Session {
    std::string id;
    Record& device;
    const Record& world;
    int alt;
    bool fast;
    long delay_ms = 0;
};

// Answers one class request (DNLOAD, UPLOAD, GETSTATUS, ...): the number of bytes moved, or a negative
// libusb error code (a stall is LIBUSB_ERROR_PIPE, a vanished device LIBUSB_ERROR_NO_DEVICE).
int dfu_request(Session& session, uint8_t request, uint16_t value, uint8_t* data, uint16_t length);

// The alt setting's name, as its string descriptor reports it.
std::string alt_name(int alt);

// Brings back a device that left DFU mode once its re-enter conditions hold; counts listings that missed it.
void update_attachment(Record& device, Record& world, bool listing);

// Plugs the device in again as a new USB device (fresh address, idle DFU state).
void attach(Record& device, Record& world);
void detach(Record& device, bool fast);

bool fast_mode(const Record& world);

} // namespace sim
