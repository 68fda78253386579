#pragma once

// Records every signal of the device worker, in emission order, on the worker thread itself.

#include "control/sm_a.h"
#include "signal_tap.h"

#include <QStringList>
#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

class WorkerRecorder {
public:
    explicit WorkerRecorder(SM_A* worker) {
        taps = tap_own_signals(
            worker, [this](QString const& name) { record(name); }, Qt::DirectConnection);
    }

    // A fresh list: an implicitly shared copy would let the worker's next append reallocate under it.
    QStringList names() const {
        std::lock_guard<std::mutex> lock(mutex);
        return copy(recorded);
    }
    int count(QString const& name) const { return names().count(name); }
    // Runs `action` once on the worker thread, after earlier hooks for the same emission, when the signal is
    // emitted for the `n`-th time from now on.
    void on_worker_thread(QString const& name, int n, std::function<void()> action) {
        std::lock_guard<std::mutex> lock(mutex);
        hooks.push_back({name, static_cast<int>(std::count(recorded.begin(), recorded.end(), name)) + n,
                         std::move(action)});
    }

private:
    struct Hook {
        QString name;
        int at_count;
        std::function<void()> action;
    };

    void record(QString const& name) {
        std::vector<std::function<void()>> actions;
        {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.push_back(name);
            actions = take_hooks_locked(name);
        }
        for (auto const& action : actions) {
            action();
        }
    }

    static QStringList copy(std::vector<QString> const& items) {
        QStringList list;
        for (QString const& item : items) {
            list << item;
        }
        return list;
    }

    // In the order they were registered.
    std::vector<std::function<void()>> take_hooks_locked(QString const& name) {
        int const emitted = static_cast<int>(std::count(recorded.begin(), recorded.end(), name));
        std::vector<std::function<void()>> due;
        for (auto it = hooks.begin(); it != hooks.end();) {
            if (it->name == name && it->at_count == emitted) {
                due.push_back(std::move(it->action));
                it = hooks.erase(it);
            } else {
                ++it;
            }
        }
        return due;
    }

    mutable std::mutex mutex;
    std::vector<QString> recorded;
    std::vector<Hook> hooks;
    std::vector<std::unique_ptr<SignalTap>> taps;
};
