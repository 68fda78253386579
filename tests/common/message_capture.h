#pragma once

// Collects every log message while alive, so tests can assert what was (and was not) logged.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <mutex>

class MessageCapture {
public:
    struct Message {
        QtMsgType type;
        QString text;
    };

    MessageCapture() {
        instance() = this;
        previous = qInstallMessageHandler(&MessageCapture::handler);
    }
    ~MessageCapture() {
        qInstallMessageHandler(previous);
        instance() = nullptr;
    }
    MessageCapture(MessageCapture const&) = delete;
    MessageCapture& operator=(MessageCapture const&) = delete;

    // A fresh list: a shared copy would let a logging thread's next append reallocate under the reader.
    QList<Message> messages() const {
        std::lock_guard<std::mutex> lock(mutex);
        QList<Message> copy;
        for (auto const& m : collected)
            copy.append(m);
        return copy;
    }

    QStringList texts(QtMsgType type) const {
        QStringList result;
        for (auto const& m : messages())
            if (m.type == type)
                result << m.text;
        return result;
    }

    bool empty() const { return messages().isEmpty(); }

private:
    static MessageCapture*& instance() {
        static MessageCapture* current = nullptr;
        return current;
    }

    static void handler(QtMsgType type, QMessageLogContext const&, QString const& text) {
        if (MessageCapture* self = instance()) {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->collected.append({type, text});
        }
    }

    QtMessageHandler previous = nullptr;
    // Standard rather than Qt's, so that the thread checker sees the hand-over from logging threads.
    mutable std::mutex mutex;
    QList<Message> collected;
};
