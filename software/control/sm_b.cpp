#include "control/sm_b.h"

#include "control/unit_judgement.h"

#include "device/service_build.h"

#include <QDebug>
#include <QMetaMethod>
#include <cstdio>

Device::Type SM_B::desired_ID = Device::Type(0);
QString SM_B::desired_revision;
bool SM_B::trace_guards = true;
DFU::DeviceInfo SM_B::judged_device_info;

GuardedTransition::GuardedTransition(QObject const* sender, char const* signal, Guard guard, QState* source)
    : QSignalTransition(sender, signal, source), guard(guard) {}

GuardedTransition::~GuardedTransition() = default;

bool GuardedTransition::eventTest(QEvent* event) {
    return QSignalTransition::eventTest(event) && guard();
}

namespace {

DFU::DeviceInfo const& judged() {
    return SM_B::judged_device_info;
}

// The flow's judgement of the record all guards of one sig_DevConn judge, with the guards' trace.
bool judged_as(flow::Judgement judgement) {
    flow::Judgement const found = flow::judge(judged(), SM_B::desired_ID, SM_B::desired_revision);
    if (SM_B::trace_guards) {
        std::printf("judged as %i, asked %i: valid %i, device_type: %i\n", static_cast<int>(found),
                    static_cast<int>(judgement), static_cast<int>(judged().valid),
                    static_cast<int>(judged().device_type));
        std::fflush(stdout);
    }
    return found == judgement;
}

// Row 1 is always the first guard tried for a sig_DevConn in B1, so it takes the one copy of the worker's
// record that all five guards and the exit action of B1 judge: a read finishing meanwhile cannot mix in.
// A unit written in this run is read back and compared whatever its record says, so that a write the
// flow allowed (a blank record's, in the window) is verified like any other.
bool written_unit_back() {
    SM_B::judged_device_info = sm_A ? sm_A->device_info_snapshot() : DFU::DeviceInfo();
    return sm_A && sm_A->awaits_unit(judged().unit);
}

bool otp_is_blank() {
    return judged_as(flow::Judgement::blank_record);
}

bool is_other_product() {
    return judged_as(flow::Judgement::other_product);
}

bool needs_upgrade() {
    return judged_as(flow::Judgement::upgrade);
}

bool has_desired_firmware() {
    return judged_as(flow::Judgement::current);
}

void add_guarded(QState* source, SM_A* worker, GuardedTransition::Guard guard, QState* target) {
    auto* transition = new GuardedTransition(worker, SIGNAL(sig_DevConn()), guard, source);
    transition->setTargetState(target);
}

} // namespace

SM_B::SM_B(SM_A* worker, Device::Type desired_type, QString desired_revision_text)
    : QStateMachine(nullptr), worker(worker) {
    desired_ID = desired_type;
    desired_revision = desired_revision_text;
    B1 = add_state("B1: No (DFU-SE) dev. conn.");
    B2 = add_state("B2: Conn. to (DFU-SE) dev. with diff. FW rev.");
    B3 = add_state("B3: Upgrading FW");
    B4 = add_state("B4: Uploading and verifying FW");
    B6 = add_state("B6: FW in dev. matches");
    B7 = add_state("B7: FW in dev. differs");
    B8 = add_state("B8: Invalid (DFU-SE) dev. conn.");
    B9 = add_state("B9: Conn. to (DFU-SE) dev. with Empty OTP.");
    setInitialState(B1);
    add_transitions();
    add_connections();
}

SM_B::~SM_B() = default;

QState* SM_B::add_state(char const* name) {
    auto* state = new QState(this);
    state->setObjectName(name);
    return state;
}

void SM_B::add_transitions() {
    add_guarded(B1, worker, written_unit_back, B4);
    add_guarded(B1, worker, otp_is_blank, B9);
    add_guarded(B1, worker, is_other_product, B8);
    add_guarded(B1, worker, needs_upgrade, B2);
    add_guarded(B1, worker, has_desired_firmware, B4);
    B2->addTransition(this, &SM_B::sig_DoDownload, B3);
    B2->addTransition(worker, &SM_A::sig_NoDevConn, B1);
    B3->addTransition(worker, &SM_A::sig_NoDevConn, B1);
    B4->addTransition(worker, &SM_A::sig_FwUploadedMatches, B6);
    B4->addTransition(worker, &SM_A::sig_FwUploadedDiffers, B7);
    B6->addTransition(worker, &SM_A::sig_NoDevConn, B1);
    B7->addTransition(this, &SM_B::sig_DoDownload, B3);
    B7->addTransition(worker, &SM_A::sig_NoDevConn, B1);
    B8->addTransition(worker, &SM_A::sig_NoDevConn, B1);
    B9->addTransition(this, &SM_B::sig_DoDownload, B3);
    B9->addTransition(worker, &SM_A::sig_NoDevConn, B1);
    // The worker drops a verification ordered for a device that has left, so no result would ever come.
    B4->addTransition(worker, &SM_A::sig_NoDevConn, B1);
    // A read-back that did not complete is no verdict: the unit is judged afresh once it comes back.
    B4->addTransition(worker, &SM_A::sig_FwUploadIncomplete, B1);
    B4->addTransition(worker, &SM_A::sig_FwUploadUnbound, B1);
}

void SM_B::add_connections() {
    connect(B1, &QState::entered, this, [this] {
        emit sig_UpgradeImpossible();
        connected_device_info = DFU::DeviceInfo();
    });
    connect(B1, &QState::exited, this, [this] {
        connected_device_info = judged_device_info;
        qInfo() << "Device connected with:\n" << connected_device_info;
        emit sig_DeviceConnected();
    });
    connect(B2, &QState::entered, this, [this] {
        emit sig_UpgradePossible();
        emit sig_DifferingRevision();
    });
    connect(B3, &QState::entered, this,
            [this] { worker->set_command(SM_A::Download, connected_device_info.read_count); });
    connect(B4, &QState::entered, this, [this] {
        emit sig_UploadingVerifying();
        worker->set_command(SM_A::UploadAndVerify, connected_device_info.read_count);
    });
    connect(B6, &QState::entered, this, [this] { emit sig_FwMatches(); });
    connect(B7, &QState::entered, this, [this] {
        emit sig_UpgradePossible();
        emit sig_FwDiffers();
    });
    connect(B8, &QState::entered, this, [this] { emit sig_InvalidProduct(); });
    connect(B9, &QState::entered, this, [this] {
        if (have_service_build()) {
            emit sig_UpgradePossible();
        } else {
            emit sig_UpgradeImpossible();
        }
        emit sig_DifferingRevision();
    });
}

void SM_B::enable_debug_output() {
    qInfo() << "SM_B: Add connections to show emitted signals";
    // Every signal the machine declares, read from its meta-object, so that a new one is logged too.
    QMetaObject const& meta = staticMetaObject;
    QMetaMethod const log = meta.method(meta.indexOfSlot("log_emitted_signal()"));
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        if (meta.method(i).methodType() == QMetaMethod::Signal) {
            connect(this, meta.method(i), this, log);
        }
    }
    for (QState* state : {B1, B2, B3, B4, B6, B7, B8}) {
        connect(state, &QState::entered, this,
                [state] { qDebug() << QString("SM_B: entered %1").arg(state->objectName()); });
    }
}

void SM_B::log_emitted_signal() {
    qDebug() << QString("SM_B: /%1").arg(QString(sender()->metaObject()->method(senderSignalIndex()).name()));
}

void SM_B::do_download() {
    emit sig_DoDownload();
}
