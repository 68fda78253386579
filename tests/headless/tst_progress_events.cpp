// How the progress dfu-util reports in bytes reaches the JSON phase events and the text bar: the narrator's
// share of the phase, the step and its bytes, never a step back and never 100 before the phase has ended.
// The worker's report is emitted by the test, as the worker emits it while dfu-util runs.

#include "app/narration.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "headless/headless.h"
#include "headless/json_events.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <QtTest>
#include <cstdio>

namespace {

struct Report {
    int step;
    qint64 done;
    qint64 total;
};

QList<QJsonObject> read_events(FILE* stream) {
    std::fflush(stream);
    std::rewind(stream);
    QList<QJsonObject> events;
    char line[4096];
    while (std::fgets(line, sizeof line, stream))
        events << QJsonDocument::fromJson(QByteArray(line)).object();
    return events;
}

QByteArray read_text(FILE* stream) {
    std::fflush(stream);
    std::rewind(stream);
    QByteArray text;
    char chunk[4096];
    while (size_t const read = std::fread(chunk, 1, sizeof chunk, stream))
        text.append(chunk, static_cast<int>(read));
    return text;
}

} // namespace

Q_DECLARE_METATYPE(QList<Report>)

class TestProgressEvents : public QObject {
    Q_OBJECT

private slots:
    void json_phase_follows_the_bytes_data() {
        QTest::addColumn<QList<Report>>("reports");
        QTest::addColumn<int>("progress");
        QTest::addColumn<QString>("step");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("total");
        QTest::newRow("half of the erase") << QList<Report>{{SM_A::Erasing, 50000, 100000}} << 25 << "erase"
                                           << qint64(50000) << qint64(100000);
        QTest::newRow("a quarter of the write")
            << QList<Report>{{SM_A::Erasing, 100000, 100000}, {SM_A::Writing, 25000, 100000}} << 62 << "write"
            << qint64(25000) << qint64(100000);
        QTest::newRow("every byte written is not yet the end")
            << QList<Report>{{SM_A::Erasing, 100000, 100000}, {SM_A::Writing, 100000, 100000}} << 99
            << "write" << qint64(100000) << qint64(100000);
        QTest::newRow("a lower report takes nothing back")
            << QList<Report>{{SM_A::Writing, 80000, 100000}, {SM_A::Writing, 40000, 100000}} << 90 << "write"
            << qint64(80000) << qint64(100000);
        QTest::newRow("more bytes than the image holds")
            << QList<Report>{{SM_A::Erasing, 100000, 100000}, {SM_A::Writing, 130000, 100000}} << 99
            << "write" << qint64(100000) << qint64(100000);
        QTest::newRow("a read-back is not the download's")
            << QList<Report>{{SM_A::ReadingBack, 50000, 100000}} << 0 << "" << qint64(-1) << qint64(-1);
    }
    void json_phase_follows_the_bytes() {
        QFETCH(QList<Report>, reports);
        QFETCH(int, progress);
        QFETCH(QString, step);
        QFETCH(qint64, bytes);
        QFETCH(qint64, total);
        SM_A worker("none.dfu", "none.bin", "uploaded.bin");
        SM_B machine(&worker, Device::Type::invalid, "2.7.0");
        Narrator narrator(&worker, &machine, Settings::GUI());
        FILE* stream = std::tmpfile();
        QVERIFY(stream);
        JsonRunEvents events(&worker, &machine, &narrator, stream);
        emit narrator.phase_started("Upgrading firmware", Narrator::download_seconds);
        emit machine.sig_DoDownload();

        for (Report const& report : reports)
            emit worker.sig_Progress(report.step, report.done, report.total);
        QList<QJsonObject> const during = read_events(stream);
        emit worker.sig_FwDownloaded();
        QList<QJsonObject> const all = read_events(stream);
        std::fclose(stream);

        QVERIFY(!during.isEmpty());
        QJsonObject const last = during.last();
        QCOMPARE(last["phase"].toString(), QString("download"));
        QCOMPARE(last["progress"].toInt(), progress);
        QCOMPARE(last["step"].toString(), step);
        QCOMPARE(last["bytes"].toVariant().toLongLong(), bytes < 0 ? 0 : bytes);
        QCOMPARE(last["bytes"].isNull(), bytes < 0);
        QCOMPARE(last["total"].toVariant().toLongLong(), total < 0 ? 0 : total);
        int previous = 0;
        for (QJsonObject const& event : during) {
            QVERIFY(event["progress"].toInt() >= previous);
            QVERIFY(event["progress"].toInt() < 100);
            previous = event["progress"].toInt();
        }
        QCOMPARE(all.size(), during.size() + 1);
        QCOMPARE(all.last()["progress"].toInt(), 100);
    }

    // Only the steps of the phase the window and the terminal show draw: nothing before it, after it, or
    // from another phase's steps; a phase after one that reported bytes starts waiting for them.
    void progress_is_told_only_within_a_shown_phase() {
        SM_A worker("none.dfu", "none.bin", "uploaded.bin");
        SM_B machine(&worker, Device::Type::invalid, "2.7.0");
        Narrator narrator(&worker, &machine, Settings::GUI());
        QSignalSpy told(&narrator, &Narrator::progress);

        emit worker.sig_Progress(SM_A::ReadingBack, 10, 100);
        emit narrator.phase_started("Upgrading firmware", Narrator::download_seconds);
        emit worker.sig_Progress(SM_A::Writing, 20, 100);
        emit worker.sig_Progress(SM_A::ReadingBack, 25, 100);
        emit worker.sig_FwDownloaded();
        emit worker.sig_Progress(SM_A::Writing, 100, 100);
        emit machine.sig_UploadingVerifying();
        emit worker.sig_Progress(SM_A::Writing, 40, 100);
        emit worker.sig_Progress(SM_A::ReadingBack, 30, 100);
        emit narrator.phase_completed("Done. Disconnect USB cable.");
        emit worker.sig_Progress(SM_A::ReadingBack, 100, 100);

        QCOMPARE(told.size(), 3);
        QCOMPARE(told.at(0).at(1).toInt(), 60);
        // Bytes came before, so the verify phase waits at 0 for its own rather than filling over its time.
        QCOMPARE(told.at(1).at(1).toInt(), 0);
        QCOMPARE(told.at(1).at(3).toLongLong(), qint64(0));
        QCOMPARE(told.at(2).at(1).toInt(), 30);
    }

    // Without a terminal, a line at every tenth the bytes pass, and the phase's end as before.
    void text_bar_follows_the_bytes() {
        FILE* stream = std::tmpfile();
        QVERIFY(stream);
        TextProgress bar(stream, false);

        bar.start("Upgrading firmware", Narrator::download_seconds);
        for (int percent : {4, 25, 27, 62, 99})
            bar.follow(percent);
        bar.complete("Done. Disconnect USB cable.");

        QCOMPARE(QString::fromUtf8(read_text(stream)),
                 QString("0% Upgrading firmware\n25% Upgrading firmware\n62% Upgrading firmware\n"
                         "99% Upgrading firmware\n100% Done. Disconnect USB cable.\n"));
        std::fclose(stream);
    }
};

QTEST_GUILESS_MAIN(TestProgressEvents)
#include "tst_progress_events.moc"
