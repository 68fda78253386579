#include "gui/progress_bar.h"

#include <QSignalSpy>
#include <QtTest>

#include <vector>

class TestProgressBar : public QObject {
    Q_OBJECT

private slots:
    void start_sets_duration_and_interval_data();
    void start_sets_duration_and_interval();
    void plain_start_before_any_run_takes_ten_seconds();
    void zero_duration_ends_on_first_tick();
    void value_never_decreases_and_finished_comes_once();
    void restart_while_running_begins_again_from_the_minimum();
    void reported_progress_takes_over_and_never_goes_back();
};

void TestProgressBar::start_sets_duration_and_interval_data() {
    QTest::addColumn<double>("duration_s");
    QTest::addColumn<int>("durationMs");
    QTest::addColumn<int>("interval");
    QTest::newRow("60 s upgrade") << 60.0 << 60000 << 600;
    QTest::newRow("half second verify") << 0.5 << 500 << 50;
    QTest::newRow("zero is one millisecond") << 0.0 << 1 << 50;
    QTest::newRow("negative keeps the default") << -1.0 << 10000 << 100;
}

void TestProgressBar::start_sets_duration_and_interval() {
    QFETCH(double, duration_s);
    QFETCH(int, durationMs);
    QFETCH(int, interval);
    ProgressBar bar;
    bar.startAutoProgress("Caption", duration_s);
    QCOMPARE(bar.format(), QString("Caption"));
    QCOMPARE(bar.durationMs, durationMs);
    QCOMPARE(bar.timer->interval(), interval);
    QVERIFY(bar.timer->isActive());
    QVERIFY(bar.isVisible());
    QCOMPARE(bar.value(), bar.minimum());
}

void TestProgressBar::plain_start_before_any_run_takes_ten_seconds() {
    ProgressBar bar;
    QString const default_caption = bar.format();
    QCOMPARE(bar.minimum(), 0);
    QCOMPARE(bar.maximum(), 100);
    QVERIFY(bar.styleSheet().contains("background-color: rgba(160,240,140,100%);"));
    QCOMPARE(bar.styleSheet().size(), 181);
    bar.startAutoProgress();
    QCOMPARE(bar.durationMs, 10000);
    QCOMPARE(bar.timer->interval(), 100);
    QCOMPARE(bar.format(), default_caption);

    bar.startAutoProgress("Uploading & verifying", 0.5);
    bar.startAutoProgress("Upgrading firmware");
    QCOMPARE(bar.durationMs, 500);
    QCOMPARE(bar.format(), QString("Upgrading firmware"));
}

void TestProgressBar::zero_duration_ends_on_first_tick() {
    ProgressBar bar;
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress("Done soon", 0.0);
    QVERIFY(finished.wait(1000));
    QCOMPARE(bar.value(), bar.maximum());
    QVERIFY(!bar.timer->isActive());
    QTest::qWait(150);
    QCOMPARE(finished.count(), 1);
    QVERIFY(bar.isVisible());
}

void TestProgressBar::value_never_decreases_and_finished_comes_once() {
    ProgressBar bar;
    std::vector<int> values;
    connect(&bar, &QProgressBar::valueChanged, this, [&values](int value) { values.push_back(value); });
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress("Uploading & verifying", 0.5);
    QVERIFY(finished.wait(2000));
    QTest::qWait(200);
    QCOMPARE(finished.count(), 1);
    QVERIFY(values.size() >= 3);
    for (std::size_t i = 1; i < values.size(); ++i)
        QVERIFY2(values[i] >= values[i - 1],
                 qPrintable(QString("value %1 after %2").arg(values[i]).arg(values[i - 1])));
    QCOMPARE(values.back(), 100);

    bar.startAutoProgress();
    QVERIFY(finished.wait(2000));
    QCOMPARE(finished.count(), 2);
}

void TestProgressBar::restart_while_running_begins_again_from_the_minimum() {
    ProgressBar bar;
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress("Upgrading firmware", 1.0);
    QTRY_VERIFY_WITH_TIMEOUT(bar.value() >= 30, 2000);
    bar.startAutoProgress("Upgrading firmware", 1.0);
    QCOMPARE(bar.value(), 0);
    QTest::qWait(150);
    QVERIFY(bar.value() < 30);
    QVERIFY(finished.wait(2000));
    QCOMPARE(finished.count(), 1);
}

// The work's own report stops the fill by time; a report below what the time showed leaves the bar where it
// is, and the next run starts from the minimum again.
void TestProgressBar::reported_progress_takes_over_and_never_goes_back() {
    ProgressBar bar;
    bar.startAutoProgress("Upgrading firmware", 60.0);
    bar.followProgress(40);
    QVERIFY(!bar.timer->isActive());
    QCOMPARE(bar.value(), 40);
    bar.followProgress(25);
    QCOMPARE(bar.value(), 40);
    QCOMPARE(bar.format(), QString("Upgrading firmware"));
    bar.startAutoProgress("Uploading & verifying", 0.01);
    QTRY_COMPARE(bar.value(), bar.maximum());
    bar.startAutoProgress("Uploading & verifying", 60.0);
    bar.followProgress(30);
    QCOMPARE(bar.value(), 30);
}

QTEST_MAIN(TestProgressBar)
#include "test_progress_bar.moc"
