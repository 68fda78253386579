// Changes the emulated world from outside dfu-util: load a prepared configuration, plug and unplug
// devices, switch timing and faults, show the state.

#include "dfuse_device.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int exit_usage = 64;
constexpr int exit_unknown_configuration = 2;

std::string images_dir() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "images";
    std::string exe(path, size_t(length));
    return exe.substr(0, exe.rfind('/')) + "/images";
}

int usage() {
    std::fprintf(stderr, "usage: simctl load NAME | configs | show | dir | plug [DEV] | unplug [DEV]\n"
                         "              | set DEV KEY VALUE | get DEV KEY | fast on|off\n"
                         "              | usb on|off\n");
    return exit_usage;
}

int load(const std::string& name) {
    bool known = false;
    for (const auto& candidate : sim::configuration_names())
        known = known || candidate == name;
    if (!known) {
        std::fprintf(stderr, "simctl: unknown configuration \"%s\"\n", name.c_str());
        return exit_unknown_configuration;
    }
    sim::StateLock lock;
    if (!sim::load_configuration(name, images_dir())) {
        std::fprintf(stderr, "simctl: cannot write configuration \"%s\" (images in %s)\n", name.c_str(),
                     images_dir().c_str());
        return 1;
    }
    return 0;
}

int configs() {
    for (const auto& name : sim::configuration_names())
        std::printf("%s\n", name.c_str());
    return 0;
}

void print_record(const sim::Record& record) {
    for (const auto& [key, value] : record.values)
        std::printf("  %s=%s\n", key.c_str(), value.c_str());
}

int show() {
    sim::StateLock lock;
    sim::ensure_world(images_dir());
    sim::Record world;
    sim::read_record(sim::world_path(), world);
    std::printf("state directory: %s\nworld:\n", sim::state_dir().c_str());
    print_record(world);
    for (const auto& id : sim::split_words(world.text("devices"))) {
        sim::Record device;
        sim::read_record(sim::device_path(id, "device.txt"), device);
        std::printf("%s:\n", id.c_str());
        print_record(device);
    }
    return 0;
}

// Applies a change to one device's record under the lock.
template <typename Change> int change_device(const std::string& id, Change change) {
    sim::StateLock lock;
    sim::ensure_world(images_dir());
    sim::Record world, device;
    sim::read_record(sim::world_path(), world);
    if (!sim::read_record(sim::device_path(id, "device.txt"), device)) {
        std::fprintf(stderr, "simctl: no device \"%s\"\n", id.c_str());
        return 1;
    }
    change(device, world);
    sim::write_record(sim::device_path(id, "device.txt"), device);
    sim::write_record(sim::world_path(), world);
    return 0;
}

int plug(const std::string& id) {
    return change_device(id, [&](sim::Record& device, sim::Record& world) {
        if (!device.flag("attached"))
            sim::attach(device, world);
        sim::append_log(id + " PLUG");
    });
}

int unplug(const std::string& id) {
    return change_device(id, [&](sim::Record& device, sim::Record&) {
        device.set("attached", 0);
        device.set("reenter_at", 0);
        device.set("dfu_state", 2);
        device.set("dfu_status", 0);
        sim::append_log(id + " UNPLUG");
    });
}

int set(const std::string& id, const std::string& key, const std::string& value) {
    return change_device(id, [&](sim::Record& device, sim::Record&) { device.set(key, value); });
}

int get(const std::string& id, const std::string& key) {
    sim::StateLock lock;
    sim::Record device;
    if (!sim::read_record(sim::device_path(id, "device.txt"), device))
        return 1;
    std::printf("%s\n", device.text(key).c_str());
    return 0;
}

// A switch of the whole world rather than of one device.
int world_switch(const std::string& key, const std::string& mode) {
    if (mode != "on" && mode != "off")
        return usage();
    sim::StateLock lock;
    sim::ensure_world(images_dir());
    sim::Record world;
    sim::read_record(sim::world_path(), world);
    world.set(key, mode == "on" ? 1 : 0);
    return sim::write_record(sim::world_path(), world) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usage();
    const std::string& command = args[0];
    std::string device = args.size() > 1 ? args[1] : "dev0";
    if (command == "load" && args.size() == 2)
        return load(args[1]);
    if (command == "configs")
        return configs();
    if (command == "show")
        return show();
    if (command == "dir")
        return std::printf("%s\n", sim::state_dir().c_str()) > 0 ? 0 : 1;
    if (command == "plug" && args.size() <= 2)
        return plug(device);
    if (command == "unplug" && args.size() <= 2)
        return unplug(device);
    if (command == "set" && args.size() == 4)
        return set(args[1], args[2], args[3]);
    if (command == "get" && args.size() == 3)
        return get(args[1], args[2]);
    if (command == "fast" && args.size() == 2)
        return world_switch("fast", args[1]);
    if (command == "usb" && args.size() == 2)
        return world_switch("usb", args[1]);
    return usage();
}
