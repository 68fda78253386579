// The libusb-1.0 functions that dfu-util imports, answered by emulated DFU-mode devices whose state lives
// in the simulator's state directory. Loaded in place of libusb, so it must never print anything.

#include "dfuse_device.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <libusb-1.0/libusb.h>
#include <thread>
#include <unistd.h>

#define SIM_EXPORT __attribute__((visibility("default")))

struct libusb_context {
    int unused;
};

struct libusb_device {
    int references;
    std::string id;
    uint16_t vendor;
    uint16_t product;
    uint8_t bus;
    uint8_t address;
    std::vector<uint8_t> ports;
};

struct libusb_device_handle {
    libusb_device* device;
    int alt;
};

namespace {

using sim::Record;

constexpr uint8_t string_descriptor = 3;
constexpr uint8_t dfu_functional_descriptor = 0x21;
const uint8_t functional_descriptor[9] = {0x09, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x08, 0x1A, 0x01};

libusb_context default_context{};

std::string library_dir() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&library_dir), &info) || !info.dli_fname)
        return ".";
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string images_dir() {
    return library_dir() + "/images";
}

struct DeviceState {
    Record world;
    Record device;
};

bool load(const std::string& id, DeviceState& state) {
    sim::read_record(sim::world_path(), state.world);
    return sim::read_record(sim::device_path(id, "device.txt"), state.device);
}

void save(const std::string& id, const DeviceState& before, const DeviceState& after) {
    if (after.device.values != before.device.values)
        sim::write_record(sim::device_path(id, "device.txt"), after.device);
    if (after.world.values != before.world.values)
        sim::write_record(sim::world_path(), after.world);
}

// Runs one request against the device as it is now: a device that left or was re-plugged since the
// listing is gone for this handle. Sleeps the request's delay after releasing the lock.
// As the kernel does, one process at a time may claim the interface. A claim ends with its process or
// with the enumeration it was made in.
bool claimed_by_another_process(const Record& device) {
    long const holder = device.number("claimed_by");
    if (holder == 0 || holder == getpid() || device.number("claimed_address") != device.number("address"))
        return false;
    return ::kill(pid_t(holder), 0) == 0 || errno == EPERM;
}

// Another program holds the unit for claim_busy_for_ms from the first claim tried, then lets it go.
bool claimed_for_a_while(Record& device) {
    long const span = device.number("claim_busy_for_ms");
    if (span <= 0)
        return false;
    if (device.number("claim_busy_since") == 0)
        device.set("claim_busy_since", sim::now_ms());
    return sim::now_ms() - device.number("claim_busy_since") < span;
}

template <typename Work> int with_device(const libusb_device* usb_device, Work work) {
    long delay_ms = 0;
    int result;
    {
        sim::StateLock lock;
        DeviceState before;
        if (!load(usb_device->id, before))
            return LIBUSB_ERROR_NO_DEVICE;
        DeviceState state = before;
        sim::update_attachment(state.device, state.world, false);
        if (!state.device.flag("attached") || state.device.number("address") != usb_device->address)
            result = LIBUSB_ERROR_NO_DEVICE;
        else
            result = work(state, delay_ms);
        save(usb_device->id, before, state);
    }
    if (delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    return result;
}

libusb_device* make_device(const std::string& id, const Record& record) {
    auto* device = new libusb_device{1,
                                     id,
                                     uint16_t(record.number("vendor", 0x0483)),
                                     uint16_t(record.number("product", 0xDF11)),
                                     uint8_t(record.number("bus", 1)),
                                     uint8_t(record.number("address")),
                                     {}};
    for (const auto& port : sim::split_words(record.text("ports")))
        device->ports.push_back(uint8_t(std::strtol(port.c_str(), nullptr, 10)));
    return device;
}

bool usb_unavailable() {
    sim::StateLock lock;
    sim::ensure_world(images_dir());
    Record world;
    sim::read_record(sim::world_path(), world);
    return world.number("usb", 1) == 0;
}

// Whether this dfu-util run reads a unit ("-U"), rather than lists or writes.
bool reading_process() {
    FILE* file = std::fopen("/proc/self/cmdline", "rb");
    if (!file)
        return false;
    char buffer[4096];
    size_t const length = std::fread(buffer, 1, sizeof(buffer), file);
    std::fclose(file);
    for (size_t at = 0; at < length; at += std::strlen(buffer + at) + 1)
        if (std::strncmp(buffer + at, "-U", length - at) == 0)
            return true;
    return false;
}

std::vector<libusb_device*> attached_devices() {
    sim::StateLock lock;
    sim::ensure_world(images_dir());
    Record world;
    sim::read_record(sim::world_path(), world);
    Record world_before = world;
    std::vector<libusb_device*> devices;
    for (const auto& id : sim::split_words(world.text("devices"))) {
        Record record;
        if (!sim::read_record(sim::device_path(id, "device.txt"), record))
            continue;
        Record before = record;
        sim::update_attachment(record, world, true);
        // renumber_before_read=N: the next N reads find the unit enumerated anew, with a new device address,
        // as after a brief reset between the listing that judged it and the read.
        if (record.flag("attached") && record.number("renumber_before_read") > 0 && reading_process()) {
            record.set("renumber_before_read", record.number("renumber_before_read") - 1);
            sim::attach(record, world);
        }
        if (record.values != before.values)
            sim::write_record(sim::device_path(id, "device.txt"), record);
        if (record.flag("attached"))
            devices.push_back(make_device(id, record));
    }
    if (world.values != world_before.values)
        sim::write_record(sim::world_path(), world);
    sim::append_log("LIST devices=" + std::to_string(devices.size()));
    return devices;
}

// The UTF-16 code units of a UTF-8 text, as a device's string descriptor holds them; a byte that starts no
// valid sequence stands for itself, as in Latin-1.
std::vector<uint16_t> utf16_of(const std::string& text) {
    std::vector<uint16_t> units;
    for (size_t at = 0; at < text.size();) {
        uint8_t const lead = uint8_t(text[at]);
        size_t const length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        uint32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        bool valid = at + length <= text.size();
        for (size_t i = 1; valid && i < length; ++i) {
            valid = (uint8_t(text[at + i]) & 0xC0) == 0x80;
            code = (code << 6) | (uint8_t(text[at + i]) & 0x3F);
        }
        if (!valid) {
            units.push_back(lead);
            ++at;
            continue;
        }
        if (code >= 0x10000) {
            units.push_back(uint16_t(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(uint16_t(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(uint16_t(code));
        }
        at += length;
    }
    return units;
}

// A string descriptor holds at most 126 code units (its length is one byte).
int string_answer(const std::string& text, unsigned char* data, uint16_t length) {
    std::vector<uint16_t> units = utf16_of(text);
    units.resize(std::min<size_t>(units.size(), 126));
    std::vector<uint8_t> descriptor{uint8_t(2 + 2 * units.size()), string_descriptor};
    for (uint16_t unit : units) {
        descriptor.push_back(uint8_t(unit));
        descriptor.push_back(uint8_t(unit >> 8));
    }
    size_t bytes = std::min<size_t>(descriptor.size(), length);
    std::memcpy(data, descriptor.data(), bytes);
    return int(bytes);
}

std::string string_text(int index, const Record& device) {
    switch (index) {
    case 1:
        return "STMicroelectronics";
    case 2:
        return "STM32  BOOTLOADER";
    case 3:
        return device.text("serial");
    default:
        return sim::alt_name(index - 4);
    }
}

int get_descriptor(DeviceState& state, const libusb_device* usb_device, uint16_t value, unsigned char* data,
                   uint16_t length) {
    uint8_t type = uint8_t(value >> 8);
    uint8_t index = uint8_t(value);
    if (type == dfu_functional_descriptor) {
        uint16_t count = std::min<uint16_t>(length, sizeof functional_descriptor);
        std::memcpy(data, functional_descriptor, count);
        return count;
    }
    if (type != string_descriptor || index > 3 + sim::alt_count)
        return LIBUSB_ERROR_PIPE;
    if (index == 0) {
        const uint8_t languages[4] = {4, string_descriptor, 0x09, 0x04};
        uint16_t count = std::min<uint16_t>(length, 4);
        std::memcpy(data, languages, count);
        return count;
    }
    sim::append_log(usb_device->id + " GET_STRING " + std::to_string(index));
    // A serial string that cannot be read: dfu-util lists the unit with serial="UNKNOWN".
    if (index == 3 && state.device.flag("serial_unreadable"))
        return LIBUSB_ERROR_PIPE;
    return string_answer(string_text(index, state.device), data, length);
}

} // namespace

extern "C" {

SIM_EXPORT int LIBUSB_CALL libusb_init(libusb_context** context) {
    // As on a host without USB device files (a container, say): dfu-util cannot even list.
    if (usb_unavailable())
        return LIBUSB_ERROR_OTHER;
    if (context)
        *context = &default_context;
    return LIBUSB_SUCCESS;
}

SIM_EXPORT void LIBUSB_CALL libusb_exit(libusb_context*) {}

SIM_EXPORT int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return LIBUSB_SUCCESS;
}

SIM_EXPORT const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
    static const libusb_version version = {1, 0, 26, 11724, "", "emulated"};
    return &version;
}

SIM_EXPORT const char* LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    default:
        return "LIBUSB_ERROR_OTHER";
    }
}

SIM_EXPORT ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
    std::vector<libusb_device*> devices = attached_devices();
    auto** array = new libusb_device*[devices.size() + 1];
    std::copy(devices.begin(), devices.end(), array);
    array[devices.size()] = nullptr;
    *list = array;
    return ssize_t(devices.size());
}

SIM_EXPORT libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device) {
    ++device->references;
    return device;
}

SIM_EXPORT void LIBUSB_CALL libusb_unref_device(libusb_device* device) {
    if (device && --device->references == 0)
        delete device;
}

SIM_EXPORT void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list)
        return;
    if (unref_devices)
        for (libusb_device** device = list; *device; ++device)
            libusb_unref_device(*device);
    delete[] list;
}

SIM_EXPORT uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* device) {
    return device->bus;
}

SIM_EXPORT uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* device) {
    return device->address;
}

SIM_EXPORT int LIBUSB_CALL libusb_get_port_numbers(libusb_device* device, uint8_t* ports, int length) {
    if (int(device->ports.size()) > length)
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(device->ports.begin(), device->ports.end(), ports);
    return int(device->ports.size());
}

SIM_EXPORT int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device,
                                                        struct libusb_device_descriptor* descriptor) {
    *descriptor = libusb_device_descriptor{LIBUSB_DT_DEVICE_SIZE, LIBUSB_DT_DEVICE, 0x0100, 0, 0, 0, 64,
                                           device->vendor,        device->product,  0x2200, 1, 2, 3, 1};
    return LIBUSB_SUCCESS;
}

SIM_EXPORT int LIBUSB_CALL libusb_get_config_descriptor(libusb_device*, uint8_t index,
                                                        struct libusb_config_descriptor** config) {
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    auto* alts = new libusb_interface_descriptor[sim::alt_count];
    for (int alt = 0; alt < sim::alt_count; ++alt) {
        alts[alt] = libusb_interface_descriptor{LIBUSB_DT_INTERFACE_SIZE,
                                                LIBUSB_DT_INTERFACE,
                                                0,
                                                uint8_t(alt),
                                                0,
                                                0xFE,
                                                1,
                                                2,
                                                uint8_t(4 + alt),
                                                nullptr,
                                                nullptr,
                                                0};
    }
    // The functional descriptor follows the last alt setting, where dfu-util finds it without asking.
    alts[sim::alt_count - 1].extra = functional_descriptor;
    alts[sim::alt_count - 1].extra_length = sizeof functional_descriptor;
    auto* interface = new libusb_interface{alts, sim::alt_count};
    *config = new libusb_config_descriptor{
        LIBUSB_DT_CONFIG_SIZE, LIBUSB_DT_CONFIG, 54, 1, 1, 0, 0xC0, 50, interface, nullptr, 0};
    return LIBUSB_SUCCESS;
}

SIM_EXPORT void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    if (!config)
        return;
    delete[] config->interface->altsetting;
    delete config->interface;
    delete config;
}

SIM_EXPORT int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
    int result = with_device(device, [&](DeviceState& state, long&) {
        if (state.device.flag("open_denied")) {
            sim::append_log(device->id + " OPEN denied");
            return int(LIBUSB_ERROR_ACCESS);
        }
        sim::append_log(device->id + " OPEN");
        return int(LIBUSB_SUCCESS);
    });
    if (result != LIBUSB_SUCCESS)
        return result;
    *handle = new libusb_device_handle{libusb_ref_device(device), 0};
    return LIBUSB_SUCCESS;
}

SIM_EXPORT void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    if (!handle)
        return;
    libusb_unref_device(handle->device);
    delete handle;
}

SIM_EXPORT int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface) {
    return with_device(handle->device, [&](DeviceState& state, long&) {
        if (interface != 0)
            return int(LIBUSB_ERROR_NOT_FOUND);
        if (state.device.flag("claim_busy") || claimed_for_a_while(state.device)) {
            sim::append_log(handle->device->id + " CLAIM busy");
            return int(LIBUSB_ERROR_BUSY);
        }
        if (claimed_by_another_process(state.device)) {
            sim::append_log(handle->device->id +
                            " CLAIM busy (held by pid=" + state.device.text("claimed_by") + ")");
            return int(LIBUSB_ERROR_BUSY);
        }
        state.device.set("claimed_by", long(getpid()));
        state.device.set("claimed_address", state.device.number("address"));
        sim::append_log(handle->device->id + " CLAIM");
        return int(LIBUSB_SUCCESS);
    });
}

SIM_EXPORT int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int) {
    return with_device(handle->device, [](DeviceState& state, long&) {
        if (state.device.number("claimed_by") == getpid())
            state.device.set("claimed_by", 0L);
        return int(LIBUSB_SUCCESS);
    });
}

SIM_EXPORT int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface,
                                                            int alt) {
    return with_device(handle->device, [&](DeviceState&, long&) {
        if (interface != 0 || alt < 0 || alt >= sim::alt_count)
            return int(LIBUSB_ERROR_NOT_FOUND);
        handle->alt = alt;
        sim::append_log(handle->device->id + " SET_ALT " + std::to_string(alt));
        return int(LIBUSB_SUCCESS);
    });
}

SIM_EXPORT int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle) {
    int result = with_device(handle->device, [&](DeviceState&, long&) {
        sim::append_log(handle->device->id + " RESET");
        return int(LIBUSB_SUCCESS);
    });
    return result == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_ERROR_NOT_FOUND : result;
}

SIM_EXPORT int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type,
                                                   uint8_t request, uint16_t value, uint16_t index,
                                                   unsigned char* data, uint16_t length, unsigned int) {
    const libusb_device* device = handle->device;
    return with_device(device, [&](DeviceState& state, long& delay_ms) {
        if (request_type == (LIBUSB_ENDPOINT_IN | LIBUSB_RECIPIENT_DEVICE) &&
            request == LIBUSB_REQUEST_GET_DESCRIPTOR)
            return get_descriptor(state, device, value, data, length);
        uint8_t kind = request_type & ~LIBUSB_ENDPOINT_IN;
        if (kind != (LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE) || index != 0)
            return int(LIBUSB_ERROR_PIPE);
        sim::Session session{device->id, state.device, state.world, handle->alt, sim::fast_mode(state.world)};
        if (request == 1 || request == 2)
            sim::append_log(device->id + (request == 1 ? " DNLOAD" : " UPLOAD_REQ") +
                            " wValue=" + std::to_string(value) + " len=" + std::to_string(length));
        int result = sim::dfu_request(session, request, value, data, length);
        delay_ms = session.delay_ms;
        return result;
    });
}

// dfu-util 0.9 reads the serial and the alt names through this call rather than through control transfers.
// As libusb does: the string descriptor in the first language, characters beyond ASCII as '?'.
SIM_EXPORT int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                              unsigned char* data, int length) {
    if (index == 0 || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char descriptor[255];
    int received = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                           uint16_t((string_descriptor << 8) | index), 0x0409, descriptor,
                                           sizeof descriptor, 1000);
    if (received < 0)
        return received;
    if (received < 2 || descriptor[1] != string_descriptor || descriptor[0] > received)
        return LIBUSB_ERROR_IO;
    int count = 0;
    for (int at = 2; at + 1 < descriptor[0] && count < length - 1; at += 2)
        data[count++] = (descriptor[at + 1] != 0 || (descriptor[at] & 0x80) != 0) ? '?' : descriptor[at];
    data[count] = 0;
    return count;
}

// Only dfu-util 0.9 calls it; the emulator never prints anything.
SIM_EXPORT void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

} // extern "C"
