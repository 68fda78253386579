#pragma once

// Collects every log message while alive, so tests can assert what was (and was not) logged.

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

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

    QList<Message> messages() const {
        QMutexLocker lock(&mutex);
        return collected;
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
            QMutexLocker lock(&self->mutex);
            self->collected.append({type, text});
        }
    }

    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QList<Message> collected;
};
