#pragma once

// --list: every attached unit in update mode read once, and what a run would do with it. Only reads.
namespace unit_list {

// Start-up, listing and exit code of --list: 0, or Exit::nothing_attached.
int run_unit_list();

} // namespace unit_list
