// Runs for scripts and production lines, as processes against the emulated bootloader: one unit by serial
// beside another run, the read-only listing of a mixed bus, the time-out without a unit, and the JSON
// events of an upgrade.

#include "sim_fixture.h"
#include "test_config.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString const updater = QStringLiteral(TEST_BUILD_DIR "/updater");
QString const serial_a = "325E35633334";
QString const serial_b = "336032683536";
QString const serial_c = "3473356B3432";

// Every line of standard output as a JSON object; a line that is not one fails the test.
QList<QJsonObject> json_events(QByteArray const& output) {
    QList<QJsonObject> events;
    for (QByteArray const& line : output.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        QJsonDocument const document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            qWarning() << "not a JSON object:" << line;
            return {};
        }
        events << document.object();
    }
    return events;
}

} // namespace

class TestUnits : public QObject {
    Q_OBJECT

    // The program's private directory is made below TMPDIR.
    QTemporaryDir temporary_root;

    void start(QProcess& process, QStringList const& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", temporary_root.path());
        process.setProcessEnvironment(environment);
        process.start(updater, arguments);
        QVERIFY(process.waitForStarted());
    }

private slots:
    void initTestCase() {
        QVERIFY(QFile::exists(updater));
        QVERIFY(!SimWorld::embedded_image().isEmpty());
    }

    // Each run sees only its unit, so neither stops at "two devices", and every transfer of a dfu-util run
    // stays on one unit.
    void two_runs_by_serial_upgrade_both_units_at_once() {
        SimWorld world("two-devices");
        QVERIFY(world.ok());
        QProcess run_a;
        QProcess run_b;
        start(run_a, {"-s", "--headless", "--serial", serial_a});
        start(run_b, {"-s", "--headless", "--serial", serial_b});

        QVERIFY(run_a.waitForFinished(60000));
        QVERIFY(run_b.waitForFinished(60000));

        QVERIFY2(run_a.exitCode() == 0, run_a.readAllStandardOutput().constData());
        QVERIFY2(run_b.exitCode() == 0, run_b.readAllStandardOutput().constData());
        QByteArray const image = SimWorld::embedded_image();
        QCOMPARE(world.flash("dev0").left(image.size()), image);
        QCOMPARE(world.flash("dev1").left(image.size()), image);
        QMap<QString, QSet<QString>> units_of_process;
        static QRegularExpression const transfer("^(pid=\\d+) (dev\\d) (UPLOAD|ERASE|WRITE) ");
        for (QString const& line : world.log()) {
            QRegularExpressionMatch const match = transfer.match(line);
            if (match.hasMatch())
                units_of_process[match.captured(1)].insert(match.captured(2));
        }
        QVERIFY(units_of_process.size() >= 10);
        for (auto const& units : units_of_process)
            QCOMPARE(units.size(), 1);
    }

    void list_judges_every_unit_of_a_mixed_bus_and_writes_nothing() {
        SimWorld world("mixed-bus");
        QVERIFY(world.ok());
        QByteArray const flash_before = world.flash("dev0") + world.flash("dev1") + world.flash("dev2");
        QByteArray const otp_before = world.otp("dev0") + world.otp("dev1") + world.otp("dev2");
        // One after the other: a listing holds each unit it reads, so another run or listing leaves it alone.
        QProcess listing;
        start(listing, {"-s", "--list", "--json"});
        QVERIFY(listing.waitForFinished(60000));
        QProcess text_listing;
        start(text_listing, {"-s", "--list"});

        QVERIFY(text_listing.waitForFinished(60000));

        QCOMPARE(listing.exitCode(), 0);
        QMap<QString, QJsonObject> judgements;
        QMap<QString, QJsonObject> units;
        QList<QJsonObject> const events = json_events(listing.readAllStandardOutput());
        for (QJsonObject const& event : events) {
            if (event["event"] == "judgement")
                judgements[event["serial"].toString()] = event;
            if (event["event"] == "unit")
                units[event["serial"].toString()] = event;
        }
        QCOMPARE(judgements.size(), 3);
        QCOMPARE(judgements[serial_a]["judgement"].toString(), QString("current"));
        QCOMPARE(judgements[serial_b]["judgement"].toString(), QString("upgrade"));
        QCOMPARE(judgements[serial_c]["judgement"].toString(), QString("other-product"));
        QCOMPARE(units[serial_b]["firmware"].toString(), QString("2.6.3"));
        QCOMPARE(units[serial_b]["path"].toString(), QString("1-3"));
        QCOMPARE(events.last()["event"].toString(), QString("result"));
        QCOMPARE(events.last()["units"].toInt(), 3);

        QCOMPARE(text_listing.exitCode(), 0);
        QStringList const lines =
            QString::fromUtf8(text_listing.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.filter(serial_a).join("").contains("already current"));
        QVERIFY(lines.filter(serial_b).join("").contains("upgrade to 2.7.0"));
        QVERIFY(lines.filter(serial_c).join("").contains("another product"));

        QCOMPARE(world.flash("dev0") + world.flash("dev1") + world.flash("dev2"), flash_before);
        QCOMPARE(world.otp("dev0") + world.otp("dev1") + world.otp("dev2"), otp_before);
        // A read sets the address pointer with a DNLOAD too; none erases, writes or leaves.
        QVERIFY(world.log().filter(QRegularExpression(" (ERASE|MASS_ERASE|WRITE|LEAVE_REQUEST) ")).isEmpty());
    }

    void timeout_ends_a_run_without_a_unit() {
        SimWorld world("no-device");
        QVERIFY(world.ok());
        QProcess process;
        QElapsedTimer clock;
        clock.start();
        start(process, {"-s", "--headless", "--timeout", "2"});

        QVERIFY(process.waitForFinished(30000));

        QVERIFY2(clock.elapsed() >= 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(process.exitCode(), 12);
        QString const output = QString::fromUtf8(process.readAllStandardOutput());
        QVERIFY2(output.contains("Result: no usable unit appeared within 2 s (exit code 12)"),
                 qPrintable(output));
        QVERIFY(!world.log().filter(" LIST ").isEmpty());
    }

    // Standard output holds only the events: unit, judgement and phases before the write, the same after it
    // for the written unit, and the result with both revisions.
    void json_events_of_an_upgrade_parse_and_come_in_order() {
        SimWorld world("old-firmware");
        QVERIFY(world.ok());
        QProcess process;
        start(process, {"-s", "--headless", "--json"});

        QVERIFY(process.waitForFinished(60000));

        QCOMPARE(process.exitCode(), 0);
        QList<QJsonObject> const events = json_events(process.readAllStandardOutput());
        QVERIFY(!events.isEmpty());
        QStringList course;
        for (QJsonObject const& event : events) {
            QString const name = event["event"].toString() +
                                 (event.contains("phase")       ? " " + event["phase"].toString()
                                  : event.contains("judgement") ? " " + event["judgement"].toString()
                                                                : QString());
            if (course.isEmpty() || course.last() != name)
                course << name;
        }
        QCOMPARE(course, QStringList({"unit", "judgement upgrade", "phase download", "unit",
                                      "judgement current", "phase verify", "result"}));
        QMap<QString, int> progress;
        for (QJsonObject const& event : events) {
            if (event["event"] != "phase")
                continue;
            QString const phase = event["phase"].toString();
            QVERIFY(event["progress"].toInt() >= progress.value(phase, 0));
            progress[phase] = event["progress"].toInt();
            QCOMPARE(event["serial"].toString(), serial_a);
        }
        QCOMPARE(progress["download"], 100);
        QCOMPARE(progress["verify"], 100);
        QCOMPARE(events.first()["firmware"].toString(), QString("2.6.3"));
        QJsonObject const result = events.last();
        QCOMPARE(result["exit_code"].toInt(), 0);
        QCOMPARE(result["outcome"].toString(), QString("firmware-matches"));
        QCOMPARE(result["serial"].toString(), serial_a);
        QCOMPARE(result["firmware_before"].toString(), QString("2.6.3"));
        QCOMPARE(result["firmware_after"].toString(), QString("2.7.0"));
    }
};

QTEST_GUILESS_MAIN(TestUnits)
#include "tst_units.moc"
