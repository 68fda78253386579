#pragma once

#include <QString>

// Simulator mode: every dfu-util command line runs the simulator script instead, which drives an emulated
// device. The script lives in the build tree, in a directory fixed when the program is built.
namespace simulator {

// Whether every dfu-util command runs the simulator script instead; set from the command line.
extern bool use;

// Set-up options; only the lowest bit counts.
enum Setup : int {
    none = 0,
    fast_progress = 1,
};

// Set first thing by the installed program, which carries no emulated device whether or not the build tree
// it was made in still exists.
extern bool installed_program;
// Whether -s can work: only in a program of the build tree, and while its simulator script is there.
bool available();

// Points every entry of DFU::commands at the simulator script, in front of the entry's own arguments.
void setup_for_simulated_dfu_util(Setup setup);

// The emulated world's directory when DFU_SIM_DIR does not name one, as the emulator chooses it.
QString default_world();
// Why the emulated world may not be used: the default one must be this user's own directory, reached by no
// link, that nobody else may enter (it is made so when missing). Empty when it may be used.
QString world_problem();

// The simulator directory, "/", and the name.
QString dfu_util_path(QString const& file_name);

// Asks the script to load a prepared configuration: 0 on success, else the script's exit code.
int sim_setup_prepared_config(QString const& name);

} // namespace simulator
