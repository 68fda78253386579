#pragma once

// The program's exit codes, one per outcome; scripts and production lines rely on them.
namespace Exit {
enum Code : int {
    firmware_matches = 0,       // the device holds exactly the embedded firmware
    cannot_start = 1,           // no display for the window, or a wrong command line
    differs_after_download = 2, // the firmware read back after the download differs
    other_product = 3,          // a product of another type
    blank_product_record = 4,   // a device with a blank product record
    device_unreadable = 5,      // the device could not be read
    could_not_verify = 6,       // the read-back did not complete: nothing is known about the flash
    write_failed = 7,           // the download did not complete
    not_verified = 8,           // written, but the written unit did not come back to be checked
    private_files_failed = 9,   // the private directory or its files could not be made
    already_running = 10,       // another instance works on the same bus or unit
    no_dfu_util = 11,           // dfu-util is missing or too old
    no_unit_in_time = 12,       // --timeout: no usable unit appeared within the time given
    nothing_attached = 13,      // --list: no unit in update mode is attached
    interrupted_base = 128,     // plus the signal number: 129 SIGHUP, 130 SIGINT, 143 SIGTERM
};
}
