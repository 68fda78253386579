#pragma once

#include "control/sm_a.h"
#include "device/product.h"
#include "dfu/device_info.h"

#include <QSignalTransition>
#include <QState>
#include <QStateMachine>
#include <QString>

// A signal transition that fires only when its guard agrees.
class GuardedTransition : public QSignalTransition {
public:
    using Guard = bool (*)();

    GuardedTransition(QObject const* sender, char const* signal, Guard guard, QState* source);
    ~GuardedTransition() override;

    Guard guard;

protected:
    bool eventTest(QEvent* event) override;
};

// The upgrade flow: judges each device the worker reads and orders download and verification.
class SM_B : public QStateMachine {
    Q_OBJECT

public:
    SM_B(SM_A* worker, Device::Type desired_type, QString desired_revision);
    ~SM_B() override;

    void add_connections();
    void enable_debug_output();

    QState* B1;
    QState* B2;
    QState* B3;
    QState* B4;
    QState* B6;
    QState* B7;
    QState* B8;
    QState* B9;
    DFU::DeviceInfo connected_device_info;

    static Device::Type desired_ID;
    static QString desired_revision;
    // The worker's record as the guards of one sig_DevConn judged it; taken once per judgement.
    static DFU::DeviceInfo judged_device_info;
    // The guards print their trace on standard output; runs without a window turn it off unless asked for.
    static bool trace_guards;

signals:
    void sig_UpgradeImpossible();
    void sig_UpgradePossible();
    void sig_DifferingRevision();
    void sig_DoDownload();
    void sig_UploadingVerifying();
    void sig_FwMatches();
    void sig_FwDiffers();
    void sig_DeviceConnected();
    void sig_InvalidProduct();

public slots:
    void do_download();

private slots:
    void log_emitted_signal();

private:
    QState* add_state(char const* name);
    void add_transitions();

    SM_A* worker;
};
