// Costs of what the worker repeats every polling cycle: parsing the device listing, decoding the
// uploaded flash and OTP dumps, and running one dfu-util child, against a bare process start.

#include "device/fw_info.h"
#include "device/otp_info.h"
#include "dfu/command.h"
#include "dfu/scan.h"

#include "device_blocks.h"
#include "dfu_listing.h"

#include <QCoreApplication>
#include <QProcess>

#include <benchmark/benchmark.h>

using namespace test_blocks;

namespace {

// Log output is dropped so that the runner is measured, not the terminal.
void drop_messages(QtMsgType, QMessageLogContext const&, QString const&) {}

const QString trivial_program = QStringLiteral("/bin/true");

void parse_four_line_listing(benchmark::State& state) {
    const QString listing = test_listing::listing(test_listing::device_lines("336032683536"));
    for (auto _ : state) {
        DfuUtilParser parser(listing);
        benchmark::DoNotOptimize(parser.status);
    }
}
BENCHMARK(parse_four_line_listing);

void decode_2048_byte_flash_dump(benchmark::State& state) {
    const QByteArray block = fw_block(bytes({0x8C, 0xFF, 0xFF, 0xFF}), "F20 main", "2.7.0",
                                      {{"Build", "2026-11-30"}, {"Board", "F20 rev C"}});
    const QByteArray dump = flash_dump(block, 0x188);
    for (auto _ : state) {
        Device::FW_Info info = Device::make_FW_Info(dump);
        benchmark::DoNotOptimize(info.valid);
    }
}
BENCHMARK(decode_2048_byte_flash_dump);

void decode_512_byte_OTP_dump(benchmark::State& state) {
    const QByteArray area = otp_area({{0, otp_record(bytes({0x03, 0xFF, 0xFF, 0xFF}))},
                                      {16, otp_record(bytes({0x8C, 0xFF, 0xFF, 0xFF}))}});
    for (auto _ : state) {
        Device::OTP_Info info = Device::make_OTP_Info(area);
        benchmark::DoNotOptimize(info.valid);
    }
}
BENCHMARK(decode_512_byte_OTP_dump);

void run_command_of_trivial_program(benchmark::State& state) {
    DFU::commands[DFU::CmdID::list] = {trivial_program, {}};
    for (auto _ : state) {
        DFU::CommandResult result = DFU::run_command(DFU::CmdID::list, {});
        if (result.exit_code != 0)
            state.SkipWithError("the trivial program failed");
    }
    DFU::commands[DFU::CmdID::list] = {"dfu-util", {"-d", "0483", "-l"}};
}
BENCHMARK(run_command_of_trivial_program)->UseRealTime()->MinTime(3.0);

void bare_process_start_of_trivial_program(benchmark::State& state) {
    for (auto _ : state) {
        QProcess process;
        process.start(trivial_program, QStringList());
        process.waitForFinished(30000);
        QByteArray output = process.readAllStandardOutput();
        if (process.exitCode() != 0)
            state.SkipWithError("the trivial program failed");
        benchmark::DoNotOptimize(output);
    }
}
BENCHMARK(bare_process_start_of_trivial_program)->UseRealTime()->MinTime(3.0);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(drop_messages);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
