#include "sim_state.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr uint32_t flash_size = 1024 * 1024;
constexpr uint32_t otp_size = 512;
constexpr int first_address = 5;

void make_dirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0700);
    mkdir(path.c_str(), 0700);
}

// The default world lies in a directory other users may write to: it is used only when it is this user's own
// directory, reached by no link, that nobody else may enter; another user could have put it there.
void refuse_unless_private(const std::string& path) {
    struct stat status {};
    const char* why = nullptr;
    if (lstat(path.c_str(), &status) != 0)
        why = "it cannot be made";
    else if (S_ISLNK(status.st_mode) || !S_ISDIR(status.st_mode))
        why = "it is not a directory";
    else if (status.st_uid != getuid())
        why = "it belongs to another user";
    else if ((status.st_mode & 077) != 0)
        why = "others may enter it";
    if (!why)
        return;
    std::fprintf(stderr,
                 "emulated bootloader: the world %s is not private (%s); remove it, or set DFU_SIM_DIR\n",
                 path.c_str(), why);
    std::exit(1);
}

std::string trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

std::string Record::text(const std::string& key, const std::string& fallback) const {
    auto found = values.find(key);
    return found == values.end() ? fallback : found->second;
}

long Record::number(const std::string& key, long fallback) const {
    std::string value = text(key);
    if (value.empty())
        return fallback;
    char* end = nullptr;
    long parsed = std::strtol(value.c_str(), &end, 0);
    return end && *end == '\0' ? parsed : fallback;
}

void Record::set(const std::string& key, long value) {
    values[key] = std::to_string(value);
}

bool read_record(const std::string& path, Record& record) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return false;
    char line[512];
    while (std::fgets(line, sizeof line, file)) {
        std::string text = trim(line);
        size_t equals = text.find('=');
        if (text.empty() || text[0] == '#' || equals == std::string::npos)
            continue;
        record.values[trim(text.substr(0, equals))] = trim(text.substr(equals + 1));
    }
    std::fclose(file);
    return true;
}

// Rewritten in place under the state lock. Never truncated to zero or renamed over: ext4 flushes such a
// file on close, which would stall every request while the disk is busy.
bool write_record(const std::string& path, const Record& record) {
    std::string text;
    for (const auto& [key, value] : record.values)
        text += key + "=" + value + "\n";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool complete = pwrite(fd, text.data(), text.size(), 0) == ssize_t(text.size()) &&
                    ftruncate(fd, off_t(text.size())) == 0;
    return close(fd) == 0 && complete;
}

bool read_file(const std::string& path, Bytes& data) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    data.clear();
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        data.insert(data.end(), buffer, buffer + got);
    std::fclose(file);
    return true;
}

bool write_file(const std::string& path, const Bytes& data) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    return std::fclose(file) == 0 && written;
}

bool read_at(const std::string& path, uint32_t offset, uint8_t* data, uint32_t length) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    bool complete = pread(fd, data, length, offset) == ssize_t(length);
    close(fd);
    return complete;
}

bool write_at(const std::string& path, uint32_t offset, const uint8_t* data, uint32_t length) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0)
        return false;
    bool complete = pwrite(fd, data, length, offset) == ssize_t(length);
    close(fd);
    return complete;
}

std::string state_dir() {
    static const std::string dir = [] {
        const char* chosen = std::getenv("DFU_SIM_DIR");
        std::string path;
        if (chosen && *chosen) {
            path = chosen;
        } else {
            const char* runtime = std::getenv("XDG_RUNTIME_DIR");
            const char* temporary = std::getenv("TMPDIR");
            std::string base = runtime && *runtime ? runtime : (temporary && *temporary ? temporary : "/tmp");
            path = base + "/dfu-sim-" + std::to_string(getuid());
            make_dirs(path);
            refuse_unless_private(path);
            return path;
        }
        make_dirs(path);
        return path;
    }();
    return dir;
}

std::string world_path() {
    return state_dir() + "/world.txt";
}
std::string device_dir(const std::string& id) {
    return state_dir() + "/" + id;
}
std::string device_path(const std::string& id, const std::string& file) {
    return device_dir(id) + "/" + file;
}
std::string log_path() {
    return state_dir() + "/requests.log";
}

std::vector<std::string> split_words(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    return words;
}

std::string hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return long(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

// Opened once per process: the emulator takes the lock and logs for every request.
int open_once(const std::string& path, int flags) {
    return open(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0600);
}

} // namespace

StateLock::StateLock() {
    static const int lock_fd = open_once(state_dir() + "/lock", O_RDWR);
    fd = lock_fd;
    if (fd >= 0)
        flock(fd, LOCK_EX);
}

StateLock::~StateLock() {
    if (fd >= 0)
        flock(fd, LOCK_UN);
}

void append_log(const std::string& line) {
    static const int log_fd = open_once(log_path(), O_WRONLY | O_APPEND);
    static const std::string prefix = "pid=" + std::to_string(getpid()) + " ";
    std::string text = prefix + line + "\n";
    ssize_t written = write(log_fd, text.data(), text.size());
    (void)written;
}

// ---- prepared configurations ----

namespace {

struct DeviceSpec {
    std::string id;
    std::string serial;
    std::string image; // file in the images directory; empty leaves the flash erased
    int otp_type;      // -1 leaves the OTP area blank
    Record extra;      // fault switches and identity overrides
};

struct Configuration {
    std::string name;
    std::vector<DeviceSpec> devices;
};

const char* const serial_a = "325E35633334";
const char* const serial_b = "336032683536";
const char* const serial_c = "3473356B3432";
const char* const serial_d = "35843A713938";

Record keys(std::initializer_list<std::pair<const char*, const char*>> pairs) {
    Record record;
    for (const auto& [key, value] : pairs)
        record.set(key, value);
    return record;
}

DeviceSpec f20(const char* image, Record extra = {}) {
    return {"dev0", serial_a, image, 0x8C, extra};
}

// A cell that the embedded image programs: one that stays erased is then caught only by verification.
std::string bad_cell_address(const std::string& images_dir) {
    Bytes image;
    read_file(images_dir + "/current-firmware.bin", image);
    for (uint32_t offset = 0x20000; offset < image.size(); ++offset)
        if (image[offset] != 0xFF)
            return hex(0x08000000 + offset);
    return hex(0x08020000);
}

std::vector<Configuration> configurations(const std::string& images_dir) {
    const char* old_image = "old-firmware.bin";
    const char* current_image = "current-firmware.bin";
    const char* other_image = "other-product.bin";
    return {
        {"no-device", {}},
        {"old-firmware", {f20(old_image)}},
        {"current-firmware", {f20(current_image)}},
        {"other-product", {{"dev0", serial_a, other_image, 0x03, {}}}},
        {"blank-otp", {{"dev0", serial_a, old_image, -1, {}}}},
        {"unknown-type", {{"dev0", serial_a, old_image, 0x42, {}}}},
        {"no-firmware", {f20("")}},
        {"foreign-firmware", {f20(other_image)}},
        {"two-devices", {f20(old_image), {"dev1", serial_b, old_image, 0x8C, {}}}},
        {"four-devices",
         {f20(old_image),
          {"dev1", serial_b, old_image, 0x8C, {}},
          {"dev2", serial_c, old_image, 0x8C, {}},
          {"dev3", serial_d, old_image, 0x8C, {}}}},
        {"mixed-bus",
         {f20(current_image),
          {"dev1", serial_b, old_image, 0x8C, {}},
          {"dev2", serial_c, other_image, 0x03, {}}}},
        {"same-serial", {f20(old_image), {"dev1", serial_a, old_image, 0x8C, {}}}},
        {"foreign-vendor",
         {f20(old_image),
          {"dev1", "0123456789AB", "", -1, keys({{"vendor", "0x1209"}, {"product", "0x2444"}})}}},
        {"otp-read-error", {f20(old_image, keys({{"upload_stall_alt", "2"}}))}},
        {"write-fault", {f20(old_image, keys({{"write_fail_at", "0x08040000"}}))}},
        {"erase-fault", {f20(old_image, keys({{"erase_fail_at", "0x08020000"}}))}},
        {"bad-cell", {f20(old_image, keys({{"bad_cell", bad_cell_address(images_dir).c_str()}}))}},
        {"short-upload", {f20(current_image, keys({{"short_upload", "200000"}}))}},
        {"leave-no-manifest", {f20(old_image, keys({{"leave_no_manifest", "1"}}))}},
        {"busy-forever", {f20(old_image, keys({{"busy_forever", "1"}}))}},
        {"disconnect-mid-download", {f20(old_image, keys({{"disconnect_at", "0x08030000"}}))}},
        {"transfer-timeout", {f20(old_image, keys({{"timeout_at", "0x08010000"}}))}},
        {"no-access", {f20(old_image, keys({{"open_denied", "1"}}))}},
        {"claim-busy", {f20(old_image, keys({{"claim_busy", "1"}}))}},
        {"claimed-a-while", {f20(old_image, keys({{"claim_busy_for_ms", "3000"}}))}},
        {"start-in-error", {f20(old_image, keys({{"dfu_state", "10"}, {"dfu_status", "14"}}))}},
        {"no-reenter", {f20(old_image, keys({{"reenter", "0"}}))}},
    };
}

Bytes otp_area(int type) {
    Bytes area(otp_size, 0xFF);
    if (type < 0)
        return area;
    const uint8_t record[16] = {0x11, 0x47, 0x23, 0x01, uint8_t(type), 0xFF, 0xFF, 0xFF,
                                0x20, 0x19, 0x06, 0x14, 0x00,          0x00, 0x12, 0x34};
    std::copy(record, record + 16, area.begin());
    return area;
}

Bytes otp_lock_bytes(int type) {
    Bytes lock(16, 0xFF);
    if (type >= 0)
        lock[0] = 0x00; // the block holding the product record is locked after production
    return lock;
}

Bytes option_bytes() {
    return {0xED, 0xAA, 0x12, 0x55, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0x0F, 0x00, 0xF0, 0xFF, 0xFF, 0x00, 0x00};
}

Record device_record(const DeviceSpec& device, int port, int address) {
    Record record = keys({{"vendor", "0x0483"},
                          {"product", "0xDF11"},
                          {"bus", "1"},
                          {"attached", "1"},
                          {"reenter", "1"},
                          {"reenter_delay_ms", "1000"},
                          {"reenter_delay_fast_ms", "0"},
                          {"reenter_lists", "1"},
                          {"dfu_state", "2"},
                          {"dfu_status", "0"},
                          {"pointer", "0x08000000"}});
    record.set("serial", device.serial);
    record.set("ports", std::to_string(port));
    record.set("address", address);
    for (const auto& [key, value] : device.extra.values)
        record.set(key, value);
    return record;
}

bool write_device(const DeviceSpec& device, const std::string& images_dir, int port, int address) {
    make_dirs(device_dir(device.id));
    Bytes flash(flash_size, 0xFF);
    if (!device.image.empty()) {
        Bytes image;
        if (!read_file(images_dir + "/" + device.image, image) || image.size() > flash.size())
            return false;
        std::copy(image.begin(), image.end(), flash.begin());
    }
    return write_file(device_path(device.id, "flash.bin"), flash) &&
           write_file(device_path(device.id, "otp.bin"), otp_area(device.otp_type)) &&
           write_file(device_path(device.id, "otp_lock.bin"), otp_lock_bytes(device.otp_type)) &&
           write_file(device_path(device.id, "option.bin"), option_bytes()) &&
           write_record(device_path(device.id, "device.txt"), device_record(device, port, address));
}

void remove_devices() {
    DIR* dir = opendir(state_dir().c_str());
    if (!dir)
        return;
    std::vector<std::string> ids;
    while (dirent* entry = readdir(dir))
        if (std::string(entry->d_name).rfind("dev", 0) == 0)
            ids.push_back(entry->d_name);
    closedir(dir);
    for (const auto& id : ids) {
        for (const char* file : {"flash.bin", "otp.bin", "otp_lock.bin", "option.bin", "device.txt"})
            unlink(device_path(id, file).c_str());
        rmdir(device_dir(id).c_str());
    }
}

bool write_configuration(const Configuration& configuration, const std::string& images_dir) {
    Record old_world;
    read_record(world_path(), old_world);
    remove_devices();
    int address = int(old_world.number("next_address", first_address));
    std::string ids;
    int port = 2;
    for (const auto& device : configuration.devices) {
        if (!write_device(device, images_dir, port++, address++))
            return false;
        ids += (ids.empty() ? "" : " ") + device.id;
    }
    Record world;
    world.set("fast", old_world.text("fast", "0"));
    world.set("next_address", address);
    world.set("devices", ids);
    world.set("configuration", configuration.name);
    append_log("CONFIG " + configuration.name);
    return write_record(world_path(), world);
}

} // namespace

std::vector<std::string> configuration_names() {
    std::vector<std::string> names;
    for (const auto& configuration : configurations(""))
        names.push_back(configuration.name);
    return names;
}

bool load_configuration(const std::string& name, const std::string& images_dir) {
    for (const auto& configuration : configurations(images_dir))
        if (configuration.name == name)
            return write_configuration(configuration, images_dir);
    return false;
}

void ensure_world(const std::string& images_dir) {
    if (access(world_path().c_str(), F_OK) != 0)
        load_configuration("old-firmware", images_dir);
}

} // namespace sim
