// The tool as a user or a station runs it, one row per case (see process_case.h for the row fields):
// what it tells, how it ends, and what the unit's flash holds afterwards.

#include "process_case.h"

namespace {

QStringList const timeout_1 = headless + QStringList{"--timeout", "1"};
QStringList const timeout_3 = headless + QStringList{"--timeout", "3"};
QStringList const list{"-s", "--list"};

// One row a case, as the table reads best.
// clang-format off
std::vector<Case> const cases{
    // Verdicts and their exit codes; nothing is written to a unit that was not judged.
    {"older firmware is upgraded", "load old-firmware", headless, "", 0,
     {"version 2.6.3", "Done. Disconnect USB cable.", "exit code 0", "!Waiting for a product"},
     Flash::image},
    {"current firmware is only verified", "load current-firmware", headless, "", 0,
     {"already holds 2.7.0; checking it", "matches", "!Upgrading"}, Flash::unchanged},
    // A normal write is told once; a slow-write notice or the cable's words would read as a fault.
    {"normal write at its usual pace", "load old-firmware; fast off", headless, "", 0,
     {"Writing the firmware… do not disconnect", "!Still writing", "!Type B"}, Flash::image},
    {"another product", "load other-product", headless, "", 3, {"this firmware is not for it"}, Flash::unchanged},
    {"blank product record", "load blank-otp", headless, "", 4, {"identity record is empty"}, Flash::unchanged},
    {"unit that does not answer", "load otp-read-error", headless, "", 5,
     {"did not answer", "history=1", "history:\"outcome\":\"unreadable\"", "history:!\"dfu_util_message\":null"},
     Flash::unchanged},
    {"short product record read", "load old-firmware; set dev0 short_upload 16", headless, "", 5,
     {"could not be read"}, Flash::unchanged},
    // "Could not verify" is no "differs".
    {"short read-back", "load current-firmware; set dev0 short_upload 200000", headless, "", 6,
     {"not verified", "!differs"}, Flash::unchanged},
    {"dfu-util reports a write that changed nothing", "load old-firmware; set dev0 ignore_writes 1", headless, "", 2,
     {"nothing was written", "check the dfu-util in use"}, Flash::unchanged},
    {"cell that does not program", "load bad-cell", headless, "", 2, {"differs", "!not verified"},
     Flash::changed},
    // The unit decides: a write that stopped part-way tells the next step from where the unit is; one whose
    // every byte went through is judged by its read-back, whatever dfu-util said of the leave request.
    {"write fails", "load write-fault", headless, "", 7,
     {"did not complete", "still in update mode", "history:\"firmware_after\":null", "history:message: "},
     Flash::changed},
    {"leave request unanswered", "load leave-no-manifest", headless, "", 0,
     {"matches", "!did not complete", "!Disconnect the USB cable, restart"}, Flash::image},
    {"written unit does not come back", "load no-reenter", timeout_1, "", 8, {"written but not"}, Flash::image},
    {"no unit within the time-out", "load no-device", timeout_1, "", 12,
     {"Waiting for a product in update mode", "MODEL", "!Type B"}, Flash::unchanged},
    {"listing", "load mixed-bus", list, "", 0, {"current", "upgrade to"}, Flash::unchanged},
    {"listing without a unit", "load no-device", list, "", 13, {"no unit"}, Flash::unchanged},
    {"listing on a host whose USB cannot start", "load old-firmware; usb off", list, "", 5,
     {"could not be listed", "libusb", "!No unit"}, Flash::unchanged},
    {"waiting on a host whose USB cannot start", "load old-firmware; usb off", headless, "", -2,
     {"cannot list the USB devices"}, Flash::unchanged},
    // A write survives the tool's death; one writer per unit; the verdict is about the written unit.
    {"kill -9 during the write", "load old-firmware", headless, "kill at write", -1, {}, Flash::image},
    {"second run on the bus", "load old-firmware", headless, "second at Connected to a F20", 10,
     {"already running"}, Flash::image},
    // A run started while another's written unit restarts, off the bus, sends nobody to its power cable.
    {"run started while another run's unit restarts", "load old-firmware; set dev0 reenter_delay_ms 3000", headless,
     "beside at leave", 12, {"another run's product is restarting", "!power cable"}, Flash::image},
    {"run beside a write left by a killed run", "load old-firmware", headless, "orphan at write", 10,
     {"still finishing"}, Flash::image},
    {"another unit comes back", "load two-devices; image dev1; unplug dev1; set dev0 reenter 0; fast on",
     timeout_1, "swap at leave", 8, {"has not been verified yet", "written but not verified", "!Done."},
     Flash::image},
    // The time given bounds every wait, the written unit's too; what is left to do is said.
    {"written unit comes back held by another program", "load old-firmware", timeout_3, "hold at leave", 8,
     {"written but not verified", "held by another program", "!power cable"}, Flash::image},
    {"read-back that cannot be stored here", "load old-firmware; env TMPDIR=@world", headless, "block at leave", 8,
     {"written but not verified", "could not be stored on this computer"}, Flash::image},
    {"unit swapped for one of the same serial in the same port before its read-back",
     "load two-devices; set dev1 serial 325E35633334; set dev1 ports 2; image dev1; unplug dev1", headless,
     "swap at Uploading & verifying", 8, {"could not be shown to be the one written", "!matches"}, Flash::image},
    {"unit enumerated anew between its listing and its read", "load old-firmware; set dev0 renumber_before_read 1",
     headless, "", 0, {"matches", "!did not answer"}, Flash::image},
    {"Ctrl+C after the write says to check", "load old-firmware", headless, "int at leave", 130,
     {"interrupted after the firmware write", "run the tool again to check"}, Flash::image},
    {"JSON result names the written unit, not the one swapped in",
     "load two-devices; image dev1; unplug dev1; set dev0 reenter 0; fast on", timeout_1 + QStringList{"--json"},
     "swap at leave", 8, {"\"outcome\":\"not-verified\",\"serial\":\"325E35633334\"", "\"firmware_after\":null"},
     Flash::image},
    {"terminal closed during the write", "load old-firmware", headless, "hup at write", 129,
     {"finishing the firmware write"}, Flash::image},
    {"written unit no longer answers", "load old-firmware", headless, "stall at leave", 6,
     {"not verified", "!could not be read ("}, Flash::image},
    {"kill -9 during the read-back", "load old-firmware", headless, "kill at readback", -1, {}, Flash::image},
    {"Ctrl+C during the read-back", "load old-firmware", headless, "int at readback", 130, {"!matches"},
     Flash::image},
    {"kill -9 while the unit is read", "load old-firmware", headless, "kill at Connected to a F20.", -1, {},
     Flash::unchanged},
    {"dfu-util crashes during the write", "load old-firmware", headless, "crash at write", 7,
     {"did not complete", "crashed", "still in update mode", "!suffix"}, Flash::changed},
    {"unit pulled during the write", "load old-firmware", headless, "unplug at write", 7, {"did not complete"},
     Flash::changed},
    {"Ctrl+C while waiting", "load no-device", headless, "int at Waiting for a product", 130, {},
     Flash::unchanged},
    {"SIGTERM while waiting", "load no-device", headless, "term at Waiting for a product", 143, {},
     Flash::unchanged},
    // Every failure is told, with what to do; where the user can still act, the run waits.
    {"no USB permission", "load no-access", headless, "", -2, {"may not access it over USB"}, Flash::unchanged},
    {"two units", "load two-devices", headless, "", -2, {"Disconnect all but the one"}, Flash::unchanged},
    {"unit gone in the middle of the download", "load disconnect-mid-download", headless, "", 7,
     {"did not complete", "restart the product in update mode", "!still in update mode"}, Flash::changed},
    // The cable's words only when no unit is attached.
    {"two units get no cable words", "load two-devices", headless, "", -2,
     {"Disconnect all but the one", "cannot be used now", "!power cable"}, Flash::unchanged},
    {"unit whose serial cannot be read", "load old-firmware; set dev0 serial_unreadable 1", headless, "", -2,
     {"serial number cannot be read", "!power cable"}, Flash::unchanged},
    // Another program has the unit open: waited for, never told as silent.
    {"unit claimed by another program", "load claim-busy", headless, "", -2,
     {"in use by another program", "!did not answer", "!Disconnect the USB cable"}, Flash::unchanged},
    {"unit claimed by another program for a while", "load claimed-a-while", headless, "", 0,
     {"in use by another program", "!did not answer", "exit code 0"}, Flash::image},
    {"listing of a unit claimed by another program", "load claim-busy", list, "", 0,
     {"in use by another program"}, Flash::unchanged},
    {"serial not attached", "load two-devices", list + QStringList{"--serial", "DEADBEEF0000"}, "", 13,
     {"DEADBEEF0000"}, Flash::unchanged},
    // A serial that dfu-util's listing cannot show whole is never taken for the one it is cut to.
    {"serial cut by a quote is not the serial before it", "load old-firmware; set dev0 serial 336032683536\"X",
     timeout_1 + QStringList{"--serial", "336032683536"}, "", 12, {"!did not answer", "!Connected"},
     Flash::unchanged},
    {"listing of a serial cut to another unit's", "load two-devices; set dev1 serial 325E35633334\"X", list, "", 0,
     {"upgrade to", "address", "unreadable"}, Flash::unchanged},
    {"serial with a place holder is told as given", "load two-devices",
     timeout_1 + QStringList{"--serial", "AB%2CD"}, "", 12, {"serial AB%2CD is in update mode"}, Flash::unchanged},
    {"unusable temporary directory", "load old-firmware; env TMPDIR=/nonexistent/tmp", headless, "", 9,
     {"/nonexistent/tmp", "does not exist", "!disk space"}, Flash::unchanged},
    // Real-device mode, with a serial of its own, so that neither a user's run on the bus nor the other
    // dfu-util's run of this table meets it.
    {"no dfu-util", "load old-firmware; env PATH=/nonexistent", {"--headless", "--serial", "7E57{pid}"}, "", 11,
     {"apt-get install dfu-util"}, Flash::unchanged},
    {"wrong command line", "load old-firmware", {"--headless", "--bogus"}, "", 1, {"bogus"}, Flash::unchanged},
    {"station counts each unit apart", "load mixed-bus",
     {"scripts/station.sh", "-s", "-t", "30", "-u", process_case::updater}, "", 1,
     {"judged: other-product", "3 units: 1 upgraded and verified, 1 already current, 1 failed."}, Flash::unchanged},
    // No run by a serial that names two units (they would share one log and wait for each other), nor for a
    // unit whose serial cannot be read; the others are upgraded.
    {"station refuses a doubled serial and an unreadable one", "load four-devices; set dev1 serial 325e35633334; "
     "set dev2 serial 3473356B3432\"",
     {"scripts/station.sh", "-s", "-t", "30", "-u", process_case::updater}, "", 1,
     {"Serial 325E35633334 is listed for 2 units", "refused: serial shared by 2 units", "serial unreadable",
      "4 units: 1 upgraded and verified, 0 already current, 3 failed."}, Flash::unchanged},
    {"unit reserved by a program that is not the tool", "load old-firmware; reserve 325E35633334", list, "", 0,
     {"reserved by another process (process ID", "!another run"}, Flash::unchanged},
    {"non-ASCII temporary path is left clean", "load old-firmware; dir t\u00e9mp 700; env TMPDIR=@world/t\u00e9mp",
     headless, "", 0, {"exit code 0"}, Flash::image},
    {"default emulated world that others may enter",
     "load old-firmware; dir run 700; dir run/dfu-sim-@uid 755; env DFU_SIM_DIR=; env XDG_RUNTIME_DIR=@world/run",
     headless, "", 1, {"not private"}, Flash::unchanged},
    {"window without a display for its platform",
     "load old-firmware; env QT_QPA_PLATFORM=xcb; env DISPLAY=; env WAYLAND_DISPLAY=", {"-s"}, "", 1,
     {"No display"}, Flash::unchanged},
    // A display or platform that cannot serve the window ends the run as a missing display does, with
    // nothing left in the temporary directory (the toolkit's runtime directory included).
    {"window on an X display that refuses this user",
     "load old-firmware; x-refusing; env DISPLAY=@display; env XAUTHORITY=@world/none; env QT_QPA_PLATFORM=; "
     "env WAYLAND_DISPLAY=; env XDG_RUNTIME_DIR=; dir tmp 700; env TMPDIR=@world/tmp", {"-s"}, "", 1,
     {"refuses this user", "--headless", "!platform plugin"}, Flash::unchanged},
    {"window on a platform without a screen",
     "load old-firmware; env QT_QPA_PLATFORM=linuxfb:fb=/nonexistent/fb0; env XDG_RUNTIME_DIR=; dir tmp 700; "
     "env TMPDIR=@world/tmp", {"-s"}, "", 1, {"linuxfb", "/nonexistent/fb0", "--headless"}, Flash::unchanged},
    // A word without its option is refused, never ignored: this one would have upgraded the attached unit.
    {"serial typed without --serial", "load old-firmware", headless + QStringList{"325E35633334"}, "", 1,
     {"--serial 325E35633334"}, Flash::unchanged},
    {"serial given twice", "load two-devices", headless + QStringList{"--serial", "325E35633334", "--serial",
     "336032683536"}, "", 1, {"more than once"}, Flash::unchanged},
    {"station tells why a run cannot start", "load old-firmware",
     {"scripts/station.sh", "-s", "-t", "abc", "-u", process_case::updater}, "", 1,
     {"--timeout takes a whole number", "1 unit:"}, Flash::unchanged},
    {"JSON result last", "load other-product", headless + QStringList{"--json"}, "", 3, {"\"result\""},
     Flash::unchanged},
    // Every run that reads a unit leaves its record, and the history never changes a verdict.
    {"upgrade leaves its record", "load old-firmware", headless + QStringList{"--json"}, "", 0,
     {"\"image_sha256\":\"{sha256}\"", "history=1", "history:2.6.3 -> 2.7.0", "history:\"firmware_before\":\"2.6.3\"",
      "history:\"firmware_after\":\"2.7.0\"", "history:\"image_sha256\":\"{sha256}\"",
      "history:\"outcome\":\"firmware-matches\"", "history:\"finished_after_run\":false"}, Flash::image},
    {"write left by a killed run is recorded by the next", "load old-firmware", headless, "rerun at write", 0,
     {"already holds 2.7.0", "history=2", "history:finished after the run that started it ended",
      "history:2.6.3 -> 2.7.0"}, Flash::image},
    {"read-only state directory", "load old-firmware; env XDG_STATE_HOME=/proc", headless, "", 0,
     {"could not be recorded in the history", "exit code 0"}, Flash::image},
    {"plant's database not there", "load old-firmware; env UPDATER_PLANT_DB=postgresql:///history?host=@world",
     headless, "", 0, {"Result:", "exit code 0", "did not take the records", "pending: 1", "history=1"},
     Flash::image},
    {"four units of a station leave four records", "load four-devices",
     {"scripts/station.sh", "-s", "-t", "60", "-u", process_case::updater}, "", 0,
     {"4 units: 4 upgraded and verified", "history=4", "history:!\"firmware_after\":null", "history:!finished after"}, Flash::image},
};
// clang-format on

} // namespace

class TestProcess : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QFile::exists(process_case::updater)); }

    void process_data() {
        QTest::addColumn<Case>("row");
        for (Case const& row : cases)
            QTest::newRow(qPrintable(row.name)) << row;
    }
    void process() {
        QFETCH(Case, row);
        process_case::run_case(row);
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
