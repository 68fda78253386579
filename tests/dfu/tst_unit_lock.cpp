// Who holds a unit's reservation, as this run is shown it: another run of this tool, this user's or
// another user's, or another user's program that is not this tool. As root sees every process's
// descriptors and programs, and as another user does, who is shown neither (only the socket's owner and
// the names the kernel keeps of programs). Holders run as other users, so this suite runs as root.

#include "dfu/unit_lock.h"

#include <QtTest>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace DFU::unit_lock;

Q_DECLARE_METATYPE(DFU::unit_lock::Busy)

namespace {

uid_t const nobody = 65534;
uid_t const third_user = 65533;
QString const serial = QStringLiteral("3E57AB12CD34");

// A child process that holds the unit's name as `uid`, under the kernel's name `program` (empty: this
// test's own), until the object goes.
class HeldElsewhere {
public:
    HeldElsewhere(uid_t uid, QByteArray const& program) {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            bool const became =
                uid == ::getuid() || (::setresgid(uid, uid, uid) == 0 && ::setresuid(uid, uid, uid) == 0);
            if (!program.isEmpty())
                ::prctl(PR_SET_NAME, program.constData());
            char const taken = became && take_unit(serial) == Take::taken ? '1' : '0';
            char answer;
            if (::write(ready[1], &taken, 1) == 1)
                while (::read(release[0], &answer, 1) < 0 && errno == EINTR) {
                }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        releasing = release[1];
        char taken = '0';
        held = pid > 0 && ::read(ready[0], &taken, 1) == 1 && taken == '1';
        ::close(ready[0]);
    }
    ~HeldElsewhere() {
        ::close(releasing);
        if (pid > 0)
            ::waitpid(pid, nullptr, 0);
    }

    pid_t pid = -1;
    bool held = false;

private:
    int releasing = -1;
};

} // namespace

class TestUnitLock : public QObject {
    Q_OBJECT

private slots:
    // A name of this test's own emulated world, which no user's run on the bus can hold.
    void initTestCase() {
        QVERIFY2(::getuid() == 0, "holders run as other users: run this suite as root");
        set_bus(simulated_bus());
    }

    void holder_data() {
        QTest::addColumn<uid_t>("holder");
        QTest::addColumn<QByteArray>("program");
        QTest::addColumn<uid_t>("seen_by");
        QTest::addColumn<Busy>("busy");
        QTest::addColumn<bool>("pid_shown");
        QTest::newRow("this user's run") << uid_t(0) << QByteArray() << uid_t(0) << Busy::in_use << true;
        QTest::newRow("another user's run, seen by root")
            << nobody << QByteArray() << uid_t(0) << Busy::in_use << true;
        QTest::newRow("another user's run, seen by a third user")
            << nobody << QByteArray() << third_user << Busy::in_use << true;
        QTest::newRow("another user's program, seen by a third user")
            << nobody << QByteArray("other-program") << third_user << Busy::other_process << false;
    }
    void holder() {
        QFETCH(uid_t, holder);
        QFETCH(QByteArray, program);
        QFETCH(uid_t, seen_by);
        QFETCH(Busy, busy);
        QFETCH(bool, pid_shown);
        HeldElsewhere const held(holder, program);
        QVERIFY(held.held);
        QCOMPARE(take_unit(serial), Take::held);
        QVERIFY(::seteuid(seen_by) == 0);
        Holder const seen = why_busy(serial);
        QVERIFY(::seteuid(0) == 0);
        QCOMPARE(seen.busy, busy);
        QCOMPARE(seen.pid, pid_shown ? qint64(held.pid) : 0);
        QCOMPARE(seen.uid, qint64(holder));
        QCOMPARE(seen.other_user(), holder != seen_by);
        QCOMPARE(seen.user_name(), holder == nobody ? QString("nobody") : QString("root"));
    }
};

QTEST_GUILESS_MAIN(TestUnitLock)
#include "tst_unit_lock.moc"
