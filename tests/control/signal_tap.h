#pragma once

// Follows every signal a class declares, read from its meta-object, so that a recorder cannot miss a signal
// added later.

#include <QMetaMethod>
#include <QObject>
#include <QRegularExpression>
#include <functional>
#include <memory>
#include <vector>

// Calls a function on each emission of one signal, on the thread the connection type gives.
class SignalTap : public QObject {
    Q_OBJECT

public:
    SignalTap(QObject* sender, QMetaMethod const& signal, std::function<void()> on_emit,
              Qt::ConnectionType type)
        : on_emit(std::move(on_emit)) {
        connect(sender, signal, this, metaObject()->method(metaObject()->indexOfSlot("emitted()")), type);
    }

private slots:
    void emitted() { on_emit(); }

private:
    std::function<void()> on_emit;
};

// Taps the signals that the class of `sender` declares itself, not the inherited ones. `on_emit` gets the
// name without "sig_" and "_entered": "DevConn" for sig_DevConn, "A0" for sig_A0_entered.
inline std::vector<std::unique_ptr<SignalTap>> tap_own_signals(QObject* sender,
                                                               std::function<void(QString const&)> on_emit,
                                                               Qt::ConnectionType type = Qt::AutoConnection) {
    std::vector<std::unique_ptr<SignalTap>> taps;
    QMetaObject const* meta = sender->metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        QMetaMethod const method = meta->method(i);
        if (method.methodType() == QMetaMethod::Signal) {
            QString const name = QString(method.name()).remove(QRegularExpression("^sig_|_entered$"));
            taps.push_back(std::make_unique<SignalTap>(
                sender, method, [on_emit, name] { on_emit(name); }, type));
        }
    }
    return taps;
}
