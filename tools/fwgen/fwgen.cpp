// Writes a synthetic STM32 firmware image carrying a firmware information block, as a raw flash image and,
// optionally, as a DfuSe file. The same program makes the embedded firmware and the flash contents of
// simulated devices, so every field of the block is an option.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t flash_base = 0x08000000;
constexpr uint32_t stack_top = 0x20020000;
constexpr size_t vector_count = 98; // 16 core exceptions and 82 interrupts
constexpr size_t block_offset = 0x200;
constexpr size_t block_search_limit = 1948;
constexpr size_t text_field_size = 32;
constexpr uint16_t dfuse_vendor = 0x0483;
constexpr uint16_t dfuse_product = 0xDF11;
constexpr uint16_t dfu_suffix_version = 0x011A;

struct Options {
    std::string out_bin;
    std::string out_dfu;
    uint8_t type = 0x8C;
    uint8_t ext[3] = {0xFF, 0xFF, 0xFF};
    std::string name = "F20 main";
    std::string revision = "2.7.0";
    std::vector<std::pair<std::string, std::string>> details = {
        {"Build", "2026-11-30"}, {"Board", "F20 rev C"}, {"Toolchain", "arm-none-eabi-gcc 12.2"}};
    bool details_given = false;
    size_t size = 403300;
    bool with_block = true;
    bool blank = false;
    uint32_t seed = 1;
    // dfuse-pack's own defaults, so that both tools make the same DfuSe file from one image.
    std::string target_name = "ST...";
    uint16_t device_release = 0x0000;
};

void usage() {
    std::cerr
        << "usage: fwgen --out-bin FILE [--out-dfu FILE] [--type 0x8C] [--ext FF,FF,FF] [--name TEXT]\n"
           "             [--revision TEXT] [--detail KEY=VALUE ...] [--size BYTES] [--no-block] [--blank]\n"
           "             [--seed N] [--target-name NAME] [--device-release 0x0000]\n"
           "Any --detail replaces the three default details; --blank writes an erased image.\n";
}

unsigned long parse_number(const std::string& text, int base, unsigned long max) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        throw std::invalid_argument("bad number: " + text);
    size_t used = 0;
    unsigned long value = std::stoul(text, &used, base);
    if (used != text.size() || value > max)
        throw std::invalid_argument("bad number: " + text);
    return value;
}

void parse_ext(const std::string& text, uint8_t ext[3]) {
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        size_t comma = text.find(',', start);
        bool last = i == 2;
        if (last != (comma == std::string::npos))
            throw std::invalid_argument("--ext needs three comma-separated hex bytes: " + text);
        ext[i] = static_cast<uint8_t>(parse_number(text.substr(start, comma - start), 16, 0xFF));
        start = comma + 1;
    }
}

std::pair<std::string, std::string> parse_detail(const std::string& text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos)
        throw std::invalid_argument("--detail needs KEY=VALUE: " + text);
    return {text.substr(0, eq), text.substr(eq + 1)};
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--out-bin")
            o.out_bin = value();
        else if (arg == "--out-dfu")
            o.out_dfu = value();
        else if (arg == "--type")
            o.type = static_cast<uint8_t>(parse_number(value(), 0, 0xFF));
        else if (arg == "--ext")
            parse_ext(value(), o.ext);
        else if (arg == "--name")
            o.name = value();
        else if (arg == "--revision")
            o.revision = value();
        else if (arg == "--detail") {
            if (!o.details_given)
                o.details.clear();
            o.details_given = true;
            o.details.push_back(parse_detail(value()));
        } else if (arg == "--size")
            o.size = parse_number(value(), 0, 0x7FFFFFFF);
        else if (arg == "--no-block")
            o.with_block = false;
        else if (arg == "--blank")
            o.blank = true;
        else if (arg == "--seed")
            o.seed = static_cast<uint32_t>(parse_number(value(), 0, 0xFFFFFFFF));
        else if (arg == "--target-name")
            o.target_name = value();
        else if (arg == "--device-release")
            o.device_release = static_cast<uint16_t>(parse_number(value(), 0, 0xFFFF));
        else
            throw std::invalid_argument("unknown option: " + arg);
    }
    if (o.out_bin.empty())
        throw std::invalid_argument("--out-bin is required");
    return o;
}

void put_u16(Bytes& b, size_t at, uint16_t v) {
    b[at] = v & 0xFF;
    b[at + 1] = v >> 8;
}

void put_u32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = (v >> (8 * i)) & 0xFF;
}

void append_u32(Bytes& b, uint32_t v) {
    b.resize(b.size() + 4);
    put_u32(b, b.size() - 4, v);
}

void put_text_field(Bytes& b, size_t at, const std::string& text) {
    if (text.size() >= text_field_size)
        throw std::invalid_argument("text longer than 31 bytes: " + text);
    std::copy(text.begin(), text.end(), b.begin() + at);
    std::fill(b.begin() + at + text.size(), b.begin() + at + text_field_size, 0);
}

Bytes information_block(const Options& o) {
    Bytes block(72 + 64 * o.details.size() + 4);
    put_u32(block, 0, 0x01234712);
    block[4] = o.type;
    std::copy(o.ext, o.ext + 3, block.begin() + 5);
    put_text_field(block, 8, o.name);
    put_text_field(block, 40, o.revision);
    size_t at = 72;
    for (const auto& [key, value] : o.details) {
        put_text_field(block, at, key);
        put_text_field(block, at + 32, value);
        at += 64;
    }
    put_u32(block, at, 0x01234713);
    return block;
}

// xorshift32: a fixed generator, so the same seed gives the same image on every build host.
void fill_payload(Bytes& image, size_t from, uint32_t seed) {
    uint32_t state = seed ? seed : 0x9E3779B9;
    for (size_t i = from; i < image.size(); ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        image[i] = state >> 24;
    }
}

uint32_t thumb_address(size_t offset) {
    return flash_base + static_cast<uint32_t>(offset) + 1;
}

// Reset handler first, then one default handler shared by every other exception; reserved slots stay 0.
void write_vector_table(Bytes& image, size_t code_offset) {
    const size_t reserved[] = {7, 8, 9, 10, 13};
    put_u32(image, 0, stack_top);
    put_u32(image, 4, thumb_address(code_offset));
    for (size_t v = 2; v < vector_count; ++v) {
        bool is_reserved = std::find(std::begin(reserved), std::end(reserved), v) != std::end(reserved);
        put_u32(image, 4 * v, is_reserved ? 0 : thumb_address(code_offset + 0x40));
    }
}

size_t align_up(size_t value, size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

Bytes make_image(const Options& o) {
    if (o.blank)
        return Bytes(o.size, 0xFF);
    Bytes block = o.with_block ? information_block(o) : Bytes();
    if (o.with_block && block_offset + block.size() - 4 > block_search_limit)
        throw std::invalid_argument("too many details: the block must end within the first 1952 bytes");
    size_t code_offset = align_up(block_offset + block.size(), 0x100);
    if (code_offset + 0x100 > o.size)
        throw std::invalid_argument("--size too small for vector table, block and code");
    Bytes image(o.size, 0xFF);
    write_vector_table(image, code_offset);
    std::copy(block.begin(), block.end(), image.begin() + block_offset);
    fill_payload(image, code_offset, o.seed);
    return image;
}

uint32_t dfu_crc(const Bytes& data) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return crc; // the DFU suffix keeps the register without the final inversion
}

// One target for alternate setting 0 with one element at the start of flash, then the DFU suffix.
Bytes make_dfuse(const Bytes& image, const Options& o) {
    constexpr size_t prefix_size = 11, target_prefix_size = 274, suffix_size = 16;
    if (o.target_name.size() > 255)
        throw std::invalid_argument("--target-name longer than 255 bytes");
    size_t target_size = 8 + image.size();
    Bytes dfu(prefix_size + target_prefix_size + target_size);
    std::string signature = "DfuSe";
    std::copy(signature.begin(), signature.end(), dfu.begin());
    dfu[5] = 1;
    put_u32(dfu, 6, static_cast<uint32_t>(dfu.size() + suffix_size));
    dfu[10] = 1;
    std::string target = "Target";
    std::copy(target.begin(), target.end(), dfu.begin() + 11);
    dfu[17] = 0;
    put_u32(dfu, 18, 1);
    std::copy(o.target_name.begin(), o.target_name.end(), dfu.begin() + 22);
    put_u32(dfu, 277, static_cast<uint32_t>(target_size));
    put_u32(dfu, 281, 1);
    put_u32(dfu, 285, flash_base);
    put_u32(dfu, 289, static_cast<uint32_t>(image.size()));
    std::copy(image.begin(), image.end(), dfu.begin() + 293);

    size_t at = dfu.size();
    dfu.resize(at + 12);
    put_u16(dfu, at, o.device_release);
    put_u16(dfu, at + 2, dfuse_product);
    put_u16(dfu, at + 4, dfuse_vendor);
    put_u16(dfu, at + 6, dfu_suffix_version);
    dfu[at + 8] = 'U';
    dfu[at + 9] = 'F';
    dfu[at + 10] = 'D';
    dfu[at + 11] = suffix_size;
    append_u32(dfu, dfu_crc(dfu));
    return dfu;
}

void write_file(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace

int main(int argc, char** argv) {
    try {
        Options options = parse_options(argc, argv);
        Bytes image = make_image(options);
        write_file(options.out_bin, image);
        if (!options.out_dfu.empty())
            write_file(options.out_dfu, make_dfuse(image, options));
        return 0;
    } catch (const std::invalid_argument& e) {
        std::cerr << "fwgen: " << e.what() << "\n";
        usage();
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "fwgen: " << e.what() << "\n";
        return 1;
    }
}
