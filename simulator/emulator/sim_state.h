#pragma once

// The emulated world lives in plain files under one directory so that every dfu-util run, the control
// command and the tests see the same devices. Layout:
//   world.txt            fast=, next_address=, devices= (ids in bus order)
//   <id>/device.txt      identity, attachment, persisted DFU state, timing and fault switches
//   <id>/flash.bin       1 MiB internal flash
//   <id>/otp.bin         512-byte OTP area; <id>/otp_lock.bin its 16 lock bytes
//   <id>/option.bin      16 option bytes
//   requests.log         append-only record of every request the emulator served
//   lock                 flock() target that serialises all access

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// A "key=value" text file.
struct Record {
    std::map<std::string, std::string> values;

    std::string text(const std::string& key, const std::string& fallback = "") const;
    long number(const std::string& key, long fallback = 0) const;
    bool flag(const std::string& key) const { return number(key) != 0; }
    void set(const std::string& key, const std::string& value) { values[key] = value; }
    void set(const std::string& key, long value);
};

bool read_record(const std::string& path, Record& record);
bool write_record(const std::string& path, const Record& record);

bool read_file(const std::string& path, Bytes& data);
bool write_file(const std::string& path, const Bytes& data);
bool read_at(const std::string& path, uint32_t offset, uint8_t* data, uint32_t length);
bool write_at(const std::string& path, uint32_t offset, const uint8_t* data, uint32_t length);

std::string state_dir();
std::string world_path();
std::string device_dir(const std::string& id);
std::string device_path(const std::string& id, const std::string& file);
std::string log_path();

std::vector<std::string> split_words(const std::string& text);
std::string hex(uint32_t value, int digits = 8);
long now_ms();

// Holds the state directory's lock for its lifetime.
class StateLock {
public:
    StateLock();
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    int fd = -1;
};

void append_log(const std::string& line);

// The configurations a developer or a test can load by name. images_dir holds the flash images.
std::vector<std::string> configuration_names();
bool load_configuration(const std::string& name, const std::string& images_dir);
// Loads the default configuration when the state directory holds no world yet; call with the lock held.
void ensure_world(const std::string& images_dir);

} // namespace sim
