// The worker's judgement of the bus, one row a listing: dfu-util's listing and standard error as it prints
// them, how the one unit's name was taken, and how it refused its last claim.

#include "control/bus_judgement.h"

#include "dfu_listing.h"

#include <QtTest>

namespace {

using bus::Reservation;

struct Row {
    char const* name;
    QStringList lines; // the listing's device lines (test_listing::device_lines, four per unit)
    QString errors;    // dfu-util's standard error
    DFU::Failure failure;
    Reservation reservation;
    DFU::Failure claim; // how the one unit refused its last claim
    bus::Situation expected;
    bool restart_elsewhere = false; // another run writes a unit or waits for a written one to restart
};

QStringList unit(QString const& serial) {
    return test_listing::device_lines(serial);
}

// A unit whose serial dfu-util could not read, as it lists it.
QStringList unreadable() {
    return unit("UNKNOWN");
}

QString const denied_011 = "Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_ACCESS)\n";
QString const denied_09 = "Cannot open DFU device 0483:df11\n";
QString const busy_011 = "Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_BUSY)\n";

auto const none = DFU::Failure::none;

// clang-format off
std::vector<Row> const rows{
    {"empty bus", {}, "", none, Reservation::not_tried, none, bus::Clear},
    {"one unit, reserved", unit("325E35633334"), "", none, Reservation::taken, none, bus::Clear},
    {"one unit that refused its last claim", unit("325E35633334"), "", none, Reservation::taken, DFU::Failure::unit_busy, bus::ClaimedElsewhere},
    {"one unit that refused its last claim, no reason given", unit("325E35633334"), "", none, Reservation::taken, DFU::Failure::claim_refused, bus::ClaimRefused},
    {"two units", unit("325E35633334") + unit("325E35633335"), "", none, Reservation::not_tried, none, bus::SeveralUnits},
    {"a unit and one of an unreadable serial", unit("325E35633334") + unreadable(), "", none, Reservation::not_tried, none, bus::SeveralUnits},
    {"only a unit of an unreadable serial", unreadable(), "", none, Reservation::not_tried, none, bus::SerialUnreadable},
    {"no access, dfu-util 0.11", {}, denied_011, none, Reservation::not_tried, none, bus::NoAccess},
    {"no access, dfu-util 0.9", {}, denied_09, none, Reservation::not_tried, none, bus::NoAccess},
    {"a unit that another program opened while listed is no access problem", {}, busy_011, none, Reservation::not_tried, none, bus::Clear},
    {"a listed unit beside one without access", unit("325E35633334"), denied_011, none, Reservation::taken, none, bus::Clear},
    {"no dfu-util", {}, "Cannot start dfu-util", DFU::Failure::not_started, Reservation::not_tried, none, bus::NoDfuUtil},
    {"listing crashed", {}, "", DFU::Failure::crashed, Reservation::not_tried, none, bus::ListingFailed},
    {"listing hung", {}, "", DFU::Failure::timed_out, Reservation::not_tried, none, bus::ListingFailed},
    {"listing ended because the tool stops", {}, "", DFU::Failure::stopped, Reservation::not_tried, none, bus::Clear},
    {"unit another run works on", unit("325E35633334"), "", none, Reservation::in_use, none, bus::UnitInUse},
    {"unit another run writes", unit("325E35633334"), "", none, Reservation::write_finishing, none, bus::WriteFinishing},
    {"unit reserved by another process", unit("325E35633334"), "", none, Reservation::other_process, none, bus::ReservedByOther},
    {"unit whose name cannot be taken", unit("325E35633334"), "", none, Reservation::failed, none, bus::ReservationFailed},
    {"a reservation weighs before an old claim", unit("325E35633334"), "", none, Reservation::in_use, DFU::Failure::unit_busy, bus::UnitInUse},
    {"empty bus while another run's unit restarts", {}, "", none, Reservation::not_tried, none, bus::RestartingElsewhere, true},
    {"a unit listed while another run's unit restarts", unit("325E35633334"), "", none, Reservation::taken, none, bus::Clear, true},
    {"no access weighs before another run's restart", {}, denied_011, none, Reservation::not_tried, none, bus::NoAccess, true},
};
// clang-format on

} // namespace

Q_DECLARE_METATYPE(Row)

class TestBusJudgement : public QObject {
    Q_OBJECT

private slots:
    void judge_data() {
        QTest::addColumn<Row>("row");
        for (Row const& row : rows)
            QTest::newRow(row.name) << row;
    }
    void judge() {
        QFETCH(Row, row);
        // A listing that failed names no unit.
        DFU::ScanResult scan = DFU::scan_for_devices(test_listing::listing(row.lines));
        if (row.failure != DFU::Failure::none)
            scan = DFU::ScanResult();
        scan.listing_failure = row.failure;
        QCOMPARE(bus::judge(scan, row.errors, row.reservation, row.claim, row.restart_elsewhere), row.expected);
        // Only a unit named alone is reserved, read and judged.
        QCOMPARE(bus::names_one_unit(scan), row.reservation != Reservation::not_tried);
    }
};

QTEST_GUILESS_MAIN(TestBusJudgement)
#include "tst_bus_judgement.moc"
