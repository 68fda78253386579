// What the runs without a window tell, as processes against the emulated bootloader: only the user's lines
// unless --verbose asks for the log, a serial that is not attached named with the ones that are, a wrong
// command line named before anything else, JSON events that end with their result, and the station that
// upgrades every unit at once.

#include "sim_fixture.h"
#include "test_config.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>

namespace {

QString const updater = QStringLiteral(TEST_BUILD_DIR "/updater");
QString const serial_a = "325E35633334";
QString const serial_b = "336032683536";
QString const station_script = QStringLiteral(TEST_SOURCE_DIR "/scripts/station.sh");

struct Run {
    int exit_code = -1;
    QStringList out;
    QStringList err;
};

} // namespace

class TestFrontEnd : public QObject {
    Q_OBJECT

    // Private directories for each run: the program's temporary files, and no runtime directory at all.
    QTemporaryDir temporary_root;

    Run run(QStringList const& arguments, QMap<QString, QString> const& environment_changes = {},
            QString const& temporary = QString()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", temporary.isEmpty() ? temporary_root.path() : temporary);
        for (QString const name :
             {"XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_LOGGING_RULES"})
            environment.remove(name);
        for (auto change = environment_changes.begin(); change != environment_changes.end(); ++change)
            environment.insert(change.key(), change.value());
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(updater, arguments);
        Run result;
        if (!process.waitForFinished(90000))
            return result;
        result.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        result.err = QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        return result;
    }

private slots:
    void initTestCase() {
        QVERIFY(QFile::exists(updater));
        QVERIFY(temporary_root.isValid());
    }

    void log_only_when_asked_for_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("verbose");
        QTest::newRow("upgrade") << QStringList{"-s", "--headless"} << false;
        QTest::newRow("upgrade, --verbose") << QStringList{"-s", "--headless", "--verbose"} << true;
        QTest::newRow("listing") << QStringList{"-s", "--list"} << false;
        QTest::newRow("listing, --verbose") << QStringList{"-s", "--list", "--verbose"} << true;
    }
    // The user's lines alone on standard output, and at most a few warnings on standard error; --verbose
    // brings the log's debug and info messages and the guards' trace back.
    void log_only_when_asked_for() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, verbose);
        SimWorld world("old-firmware");
        QVERIFY(world.ok());

        Run const result = run(arguments);

        QCOMPARE(result.exit_code, 0);
        bool const upgrade = arguments.contains("--headless");
        if (upgrade)
            QCOMPARE(world.flash().left(SimWorld::embedded_image().size()), SimWorld::embedded_image());
        QStringList const trace = result.out.filter("device_has_valid_type(");
        QCOMPARE(!trace.isEmpty(), verbose && upgrade);
        QStringList const debug = result.err.filter(QRegularExpression("^(SM_[AB]: |Initial value of )"));
        QCOMPARE(!debug.isEmpty(), verbose);
        if (!verbose) {
            QVERIFY2(result.err.size() <= 3, qPrintable(result.err.join('\n')));
            QVERIFY2(result.err.filter("XDG_RUNTIME_DIR").isEmpty(), qPrintable(result.err.join('\n')));
            QStringList const user_lines = result.out.filter(
                QRegularExpression(upgrade ? "^(Waiting|Connected|The |\\d+% |Writing|Result: )" : "^[0-9A-F]{12} "));
            QCOMPARE(user_lines, result.out);
        }
    }

    void serial_not_attached_is_named_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<int>("naming_lines");
        QTest::newRow("headless") << QStringList{"-s",           "--headless", "--serial",
                                                 "DEADBEEF0000", "--timeout",  "3"}
                                  << 12 << 2;
        QTest::newRow("listing") << QStringList{"-s", "--list", "--serial", "deadbeef0000"} << 13 << 1;
    }
    // At once, and again in the last line: the serial asked for and the serials attached instead.
    void serial_not_attached_is_named() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exit_code);
        QFETCH(int, naming_lines);
        SimWorld world("two-devices");
        QVERIFY(world.ok());
        QByteArray const flash = world.flash("dev0") + world.flash("dev1");

        Run const result = run(arguments);

        QCOMPARE(result.exit_code, exit_code);
        QString const asked = arguments.at(arguments.indexOf("--serial") + 1);
        QStringList const naming = result.out.filter(asked).filter(serial_a).filter(serial_b);
        QVERIFY2(naming.size() == naming_lines, qPrintable(result.out.join('\n')));
        QCOMPARE(naming.last(), result.out.last());
        QCOMPARE(world.flash("dev0") + world.flash("dev1"), flash);
    }

    void wrong_command_line_is_named_first_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("words");
        QString const no_display = "No display to open the window on";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << ""
                                        << "Unknown option 'bogus'";
        QTest::newRow("serial without value") << QStringList{"--serial"} << ""
                                              << "Missing value after '--serial'";
        QTest::newRow("unknown option, display") << QStringList{"--bogus"} << ":2497"
                                                 << "Unknown option 'bogus'";
        QTest::newRow("timeout past a timer's range")
            << QStringList{"-s", "--headless", "--timeout", "4294968"} << ""
            << "from 0 to 2147483";
        QTest::newRow("timeout at a timer's sign")
            << QStringList{"-s", "--headless", "--timeout", "2147484"} << ""
            << "from 0 to 2147483";
        QTest::newRow("json, unknown option") << QStringList{"--headless", "--json", "--bogus"} << ""
                                              << "Unknown option 'bogus'";
        QTest::newRow("json listing, serial without value")
            << QStringList{"--list", "--json", "--serial"} << ""
            << "Missing value after '--serial'";
        QTest::newRow("unreachable display") << QStringList{"-s"} << ":2497" << no_display;
        QTest::newRow("empty platform") << QStringList{"-s"} << "" << no_display;
    }
    // Exit code 1 with the words on standard error, nothing left behind, and with --json only the result.
    void wrong_command_line_is_named_first() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, display);
        QFETCH(QString, words);
        SimWorld world("old-firmware");
        QVERIFY(world.ok());
        QTemporaryDir temporary;
        QMap<QString, QString> environment{{"QT_QPA_PLATFORM", ""}};
        if (!display.isEmpty())
            environment["DISPLAY"] = display;

        Run const result = run(arguments, environment, temporary.path());

        QCOMPARE(result.exit_code, 1);
        QVERIFY2(result.err.join('\n').contains(words), qPrintable(result.err.join('\n')));
        if (arguments.contains("--json")) {
            QCOMPARE(result.out.size(), 1);
            QJsonObject const event = QJsonDocument::fromJson(result.out.first().toUtf8()).object();
            QCOMPARE(event["event"].toString(), QString("result"));
            QCOMPARE(event["outcome"].toString(), QString("cannot-start"));
            QCOMPARE(event["exit_code"].toInt(), 1);
        } else {
            QCOMPARE(result.out, QStringList());
        }
        QCOMPARE(QDir(temporary.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(world.log().filter(" LIST ").isEmpty());
    }

    void json_result_comes_last_data() {
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<QString>("judgement");
        QTest::newRow("another product") << "other-product"
                                         << "other-product";
        QTest::newRow("blank product record") << "blank-otp"
                                              << "blank-record";
        QTest::newRow("upgrade") << "old-firmware"
                                 << "current";
        QTest::newRow("verification fails") << "bad-cell"
                                            << "upgrade";
    }
    void json_result_comes_last() {
        QFETCH(QString, configuration);
        QFETCH(QString, judgement);
        SimWorld world(configuration);
        QVERIFY(world.ok());

        Run const result = run({"-s", "--headless", "--json"});

        QStringList names;
        for (QString const& line : result.out) {
            QJsonObject const event = QJsonDocument::fromJson(line.toUtf8()).object();
            names << event["event"].toString() + " " + event["judgement"].toString();
        }
        QVERIFY2(names.size() >= 3, qPrintable(result.out.join('\n')));
        QCOMPARE(names.count("result "), 1);
        QCOMPARE(names.last(), QString("result "));
        QVERIFY(names.lastIndexOf("judgement " + judgement) >= 0);
    }

    // With realistic timing, the download's and the read-back's progress come from dfu-util's bytes: they
    // rise step by step to the image's size, and the bar's share rises with them.
    void json_progress_rises_with_the_bytes() {
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok());

        Run const result = run({"-s", "--headless", "--json"});

        QCOMPARE(result.exit_code, 0);
        qint64 const size = SimWorld::embedded_image().size();
        QMap<QString, QList<qint64>> bytes_of_step;
        QMap<QString, int> last_progress;
        for (QString const& line : result.out) {
            QJsonObject const event = QJsonDocument::fromJson(line.toUtf8()).object();
            if (event["event"].toString() != "phase" || event["step"].isNull())
                continue;
            QString const phase = event["phase"].toString();
            int const progress = event["progress"].toInt();
            QVERIFY2(progress >= last_progress.value(phase), qPrintable(line));
            last_progress[phase] = progress;
            QCOMPARE(qint64(event["total"].toDouble()), size);
            bytes_of_step[event["step"].toString()] << qint64(event["bytes"].toDouble());
        }
        for (QString const step : {"write", "read-back"}) {
            QList<qint64> const bytes = bytes_of_step.value(step);
            QVERIFY2(bytes.size() >= 5, qPrintable(result.out.join('\n')));
            QVERIFY(std::is_sorted(bytes.begin(), bytes.end()));
            QCOMPARE(bytes.last(), size);
        }
        QCOMPARE(last_progress.value("download"), 100);
        QCOMPARE(last_progress.value("verify"), 100);
        QCOMPARE(world.flash().left(int(size)), SimWorld::embedded_image());
    }

    void station_usage() {
        QProcess station;
        station.start(station_script, {"-h"});
        QVERIFY(station.waitForFinished(20000));
        QCOMPARE(station.exitCode(), 0);
        QVERIFY(QString::fromUtf8(station.readAllStandardOutput()).contains("scripts/station.sh [-s]"));
        QCOMPARE(station.readAllStandardError(), QByteArray());
    }

    // A line per unit as its events arrive, then the table and a summary that counts apart.
    void station_tells_each_unit_and_counts_apart() {
        SimWorld world("mixed-bus");
        QVERIFY(world.ok());
        QByteArray const other_product = world.flash("dev2");
        QProcess station;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", temporary_root.path());
        environment.remove("XDG_RUNTIME_DIR");
        station.setProcessEnvironment(environment);
        station.start(station_script, {"-s", "-t", "30", "-u", updater});

        QVERIFY(station.waitForFinished(120000));

        QStringList const lines = QString::fromUtf8(station.readAllStandardOutput()).split('\n');
        QCOMPARE(station.exitCode(), 1);
        QCOMPARE(lines.filter(QRegularExpression("^336032683536  (download|verify) 0%$")).size(), 2);
        QVERIFY(lines.contains("336032683536  result: firmware-matches (exit code 0)"));
        QVERIFY(lines.contains("3473356B3432  judged: other-product"));
        QVERIFY2(lines.contains("3 units: 1 upgraded and verified, 1 already current, 1 failed."),
                 qPrintable(lines.join('\n')));
        QCOMPARE(world.flash("dev1").left(SimWorld::embedded_image().size()), SimWorld::embedded_image());
        QCOMPARE(world.flash("dev2"), other_product);
    }
};

QTEST_GUILESS_MAIN(TestFrontEnd)
#include "tst_front_end.moc"
