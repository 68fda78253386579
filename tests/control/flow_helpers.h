#pragma once

// Helpers for the flow machine's tests: a record of its course on the GUI thread, a gate between the GUI
// thread and the worker thread, and a capture of standard output, where the guards write their trace.

#include "control/sm_a.h"
#include "control/sm_b.h"
#include "signal_tap.h"

#include <QObject>
#include <QStringList>
#include <QTemporaryFile>
#include <QTest>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <unistd.h>

// The worker's signals that the machine listens to, the machine's own signals and every state entered
// ("B1" ...), in the order the GUI thread sees them. Runs of "NoDevConn" count once: how many polling
// passes a re-plug takes is not the flow's business.
class FlowRecorder : public QObject {
public:
    // Connect before the machine is built, so that a worker signal is recorded before the machine reacts.
    explicit FlowRecorder(SM_A* worker) {
        connect(worker, &SM_A::sig_DevConn, this, [this] { add("DevConn"); });
        connect(worker, &SM_A::sig_NoDevConn, this, [this] { add("NoDevConn"); });
        connect(worker, &SM_A::sig_FwUploadedMatches, this, [this] { add("FwUploadedMatches"); });
        connect(worker, &SM_A::sig_FwUploadedDiffers, this, [this] { add("FwUploadedDiffers"); });
        connect(worker, &SM_A::sig_FwUploadIncomplete, this, [this] { add("FwUploadIncomplete"); });
    }

    void watch(SM_B* machine) {
        taps = tap_own_signals(machine, [this](QString const& name) { add(name); });
        for (QState* state : machine->findChildren<QState*>()) {
            QString const name = state->objectName().left(2);
            connect(state, &QState::entered, this, [this, name] {
                add(name);
                current = name;
            });
        }
    }

    QStringList sequence;
    QString current;

private:
    std::vector<std::unique_ptr<SignalTap>> taps;

    void add(QString const& name) {
        if (name == "NoDevConn" && !sequence.isEmpty() && sequence.last() == name) {
            return;
        }
        sequence << name;
    }
};

// One thread waits until another opens the gate; a limit keeps a broken expectation from hanging the test.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex);
        opened = true;
        changed.notify_all();
    }
    bool wait(int ms = 10000) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return opened; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
};

// Standard output of the process goes into a file while this lives. The test's own report of a failure
// goes there too, so it is passed on to standard error.
class StdoutCapture {
public:
    StdoutCapture() {
        file.open();
        std::fflush(stdout);
        saved = ::dup(1);
        ::dup2(file.handle(), 1);
    }
    ~StdoutCapture() {
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
        if (QTest::currentTestFailed()) {
            std::fputs(text().toUtf8().constData(), stderr);
        }
    }
    StdoutCapture(StdoutCapture const&) = delete;
    StdoutCapture& operator=(StdoutCapture const&) = delete;

    QString text() {
        std::fflush(stdout);
        QFile reader(file.fileName());
        return reader.open(QIODevice::ReadOnly) ? QString::fromUtf8(reader.readAll()) : QString();
    }

private:
    QTemporaryFile file;
    int saved = -1;
};
