#include "headless/unit_list.h"

#include "app/app.h"
#include "app/causes.h"
#include "app/narration.h"
#include "control/unit_judgement.h"
#include "device/product.h"
#include "dfu/device_info.h"
#include "dfu/unit_lock.h"
#include "headless/headless.h"
#include "headless/json_events.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>

namespace unit_list {

namespace {

// One attached unit: as listed (or, without access, only its device address) and as read.
struct Unit {
    DFU::DeviceItem item;
    QString product;  // empty when unknown
    QString firmware; // the firmware revision; empty when unknown
    Cause judgement = Cause::unreadable; // what a run on the unit would meet
    qint64 holder = 0; // reserved by another process: the one seen holding the unit, 0 when not shown

    // One line of the listing: serial, USB path, product, firmware, what a run would do.
    QString text(QString const& desired_revision) const;
};

QString or_dash(QString const& text) {
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString judgement_text(Unit const& unit, QString const& desired_revision) {
    QString const text = settings.gui.text(listing_words_of(unit.judgement).text_id);
    if (unit.judgement == Cause::upgrade)
        return text.arg(desired_revision);
    if (unit.judgement == Cause::reserved_by_other_process)
        return text.arg(process_words(settings.gui, unit.holder));
    return text;
}

Unit read_unit(DFU::DeviceItem const& item, Device::Type desired_type, QString const& desired_revision) {
    Unit unit{item, {}, {}, Cause::reserved_by_other_run};
    // Held until the process ends, so that no run starts on the unit while it is read. A unit another run
    // works on is not read, and never judged from what it held before.
    if (DFU::unit_lock::take_unit(item.serial) != DFU::unit_lock::Take::taken) {
        DFU::unit_lock::Holder const holder = DFU::unit_lock::why_busy(item.serial);
        unit.judgement = cause_of(holder.busy);
        unit.holder = holder.pid;
        return unit;
    }
    DFU::DeviceInfo info;
    DFU::CommandResult const read = DFU::read_device_info(&item, &info);
    if (read.exit_code != 0) {
        unit.judgement = DFU::refused_claim(read.failure) ? cause_of(bus::judge_claim(read.failure))
                                                          : Cause::unreadable;
        return unit;
    }
    unit.product = info.OTP_info.product_name();
    unit.firmware = info.FW_revision;
    unit.judgement = cause_of(flow::judge(info, desired_type, desired_revision));
    return unit;
}

QString Unit::text(QString const& desired_revision) const {
    QString const serial = item.serial.isEmpty() ? "address " + or_dash(item.devnum) : item.serial;
    // One pass, so that a "%2" in a serial stays as it is.
    return QString("%1  %2  %3  %4  %5")
        .arg(serial.leftJustified(14), or_dash(item.path).leftJustified(6),
             or_dash(product).leftJustified(10), or_dash(firmware).leftJustified(8),
             judgement_text(*this, desired_revision));
}

// Why a listing failed: dfu-util's last words, or how it ended when it said nothing.
QString listing_failure_text(DFU::Failure failure, QString const& errors) {
    QStringList const lines = errors.split('\n', Qt::SkipEmptyParts);
    if (failure != DFU::Failure::other || lines.isEmpty())
        return "dfu-util " + DFU::text_of(failure);
    return lines.last().trimmed();
}

// Lists and reads every unit (with a serial, only the units with it, and the serials of the others when
// none has it); units another run works on are not read. A listing that failed leaves `listing_failed`
// saying why, since no unit in it does not mean that none is attached.
QVector<Unit> read_units(QString const& only_serial, Device::Type desired_type,
                         QString const& desired_revision, QStringList* passed_over, QString* listing_failed) {
    QString errors;
    DFU::ScanResult const scan = DFU::make_scan(&errors, only_serial, run_options.capabilities);
    *passed_over = scan.passed_over;
    if (scan.listing_failure != DFU::Failure::none)
        *listing_failed = listing_failure_text(scan.listing_failure, errors);
    QVector<DFU::DeviceItem> items = scan.devices;
    std::sort(items.begin(), items.end(),
              [](DFU::DeviceItem const& a, DFU::DeviceItem const& b) { return a.path < b.path; });
    QVector<Unit> units;
    for (DFU::DeviceItem const& item : items)
        units << read_unit(item, desired_type, desired_revision);
    for (DFU::DeviceItem const& item : scan.unidentified)
        units << Unit{item, {}, {}, Cause::unreadable};
    // Without access dfu-util knows neither serial nor path, so these may be any unit, the one asked for too.
    for (QString const& address : DFU::addresses_without_access(errors))
        units << Unit{{QString(), QString(), address}, {}, {}, Cause::no_access};
    return units;
}

void print(QString const& text) {
    std::fputs(qPrintable(text + "\n"), stdout);
    std::fflush(stdout);
}

} // namespace

int run_unit_list() {
    FILE* const events = json_events::open_stream(command_line.options.json);
    set_up_log(command_line.verbose);
    StartupFailure const failure = list_init();
    if (failure)
        return report_startup_failure(failure, events);
    QString const desired_revision = settings.desired_FW_revision;
    QStringList passed_over;
    QString listing_failed;
    QVector<Unit> const units = read_units(run_options.serial, settings.desired_FW_type, desired_revision,
                                           &passed_over, &listing_failed);
    for (Unit const& unit : units) {
        print(unit.text(desired_revision));
        json_events::write(events, json_events::unit_seen(unit.item, unit.product, unit.firmware));
        json_events::write(events, json_events::judgement(unit.item, listing_words_of(unit.judgement).name));
    }
    Cause const end = !units.isEmpty()           ? Cause::listed
                      : !listing_failed.isEmpty() ? Cause::listing_failed
                                                  : Cause::nothing_attached;
    CauseWords const& words = words_of(end);
    if (end == Cause::listing_failed)
        std::fputs(qPrintable(settings.gui.text(words.result_id).arg(listing_failed) + "\n"), stderr);
    else if (end == Cause::nothing_attached && !passed_over.isEmpty())
        print(settings.gui.text("list_serialAbsent").arg(run_options.serial, passed_over.join(", ")));
    else if (end == Cause::nothing_attached)
        print(settings.gui.text(words.result_id));
    QJsonObject result = json_events::result(words.exit_code, words.outcome);
    result["units"] = units.size();
    json_events::write(events, result);
    return words.exit_code;
}

} // namespace unit_list
