// The names that keep runs apart, seen from a second process: one unit in any spelling of its serial is
// one name, names longer than the kernel takes stay apart, and a write is told from a read.

#include "dfu/unit_lock.h"

#include <QtTest>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace DFU::unit_lock;

namespace {

enum Seen { free_to_take = 0, held_by_another = 1, being_written = 2, failure = 3 };

// What a forked process finds of the unit on the bus: free, held, or held for a write. The child first lets
// go of the copies of this process's names it was born with (`own_bus`, `own_serial`), which leaves the
// names themselves held by this process.
Seen seen_from_another_process(QString const& bus, QString const& serial, QString const& own_bus = "usb",
                               QString const& own_serial = "325E35633334") {
    pid_t const child = ::fork();
    if (child == 0) {
        set_bus(own_bus);
        end_write(own_serial);
        release_unit(own_serial);
        set_bus(bus);
        Take const taken = take_unit(serial);
        if (taken == Take::taken)
            ::_exit(free_to_take);
        if (taken == Take::failed)
            ::_exit(failure);
        ::_exit(why_busy(serial).busy == Busy::write_finishing ? being_written : held_by_another);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return failure;
    return static_cast<Seen>(WEXITSTATUS(status));
}

QString const long_bus = "simulator:/" + QString(200, 'w');

} // namespace

class TestUnitLock : public QObject {
    Q_OBJECT

private slots:
    void one_name_per_unit_data() {
        QTest::addColumn<QString>("bus");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("other_bus");
        QTest::addColumn<QString>("other_serial");
        QTest::addColumn<int>("seen");
        QTest::newRow("same spelling") << "usb"
                                       << "325E35633334"
                                       << "usb"
                                       << "325E35633334" << int(held_by_another);
        QTest::newRow("case and spaces") << "usb"
                                         << " 325e35633334"
                                         << "usb"
                                         << "325E35633334 " << int(held_by_another);
        QTest::newRow("another unit") << "usb"
                                      << "325E35633334"
                                      << "usb"
                                      << "336032683536" << int(free_to_take);
        QTest::newRow("another bus") << "usb"
                                     << "325E35633334"
                                     << "simulator:/w"
                                     << "325E35633334" << int(free_to_take);
        QTest::newRow("long bus") << long_bus << "325E35633334" << long_bus << "325e35633334"
                                  << int(held_by_another);
        QTest::newRow("long buses that differ at the end") << long_bus + "1"
                                                           << "325E35633334" << long_bus + "2"
                                                           << "325E35633334" << int(free_to_take);
    }
    void one_name_per_unit() {
        QFETCH(QString, bus);
        QFETCH(QString, serial);
        QFETCH(QString, other_bus);
        QFETCH(QString, other_serial);
        QFETCH(int, seen);
        set_bus(bus);
        QCOMPARE(take_unit(serial), Take::taken);
        QCOMPARE(take_unit(serial.toLower()), Take::taken); // held already by this process

        QCOMPARE(int(seen_from_another_process(other_bus, other_serial, bus, serial)), seen);

        set_bus(bus);
        release_unit(serial);
        QVERIFY(!holds_unit(serial));
        QCOMPARE(int(seen_from_another_process(other_bus, other_serial, bus, serial)), int(free_to_take));
    }

    // The writing name is there only while a write runs; the unit's name stays until it is released.
    void write_is_told_from_a_read() {
        set_bus("usb");
        QCOMPARE(take_unit("325E35633334"), Take::taken);
        std::vector<int> const inherited = begin_write("325E35633334");
        QCOMPARE(inherited.size(), size_t(2));
        QCOMPARE(int(seen_from_another_process("usb", "325e35633334")), int(being_written));
        end_write("325E35633334");
        QCOMPARE(int(seen_from_another_process("usb", "325e35633334")), int(held_by_another));
        release_unit("325E35633334");
        QVERIFY(begin_write("325E35633334").empty());
    }

    // Anyone may bind a unit's name: a holder that is not this tool is named as such, with its process ID,
    // and never taken for a run or a write.
    void foreign_holder_is_named() {
        QByteArray const name = "zentova-updater:unit:usb/FOREIGN0001";
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
        auto const length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        int const fd = ::socket(AF_UNIX, SOCK_STREAM, 0); // inherited by the squatter's program
        QVERIFY(fd >= 0);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        char const* const sleep_argv[] = {"sleep", "30", nullptr};
        pid_t const squatter = ::fork();
        if (squatter == 0) {
            ::execvp("sleep", const_cast<char**>(sleep_argv));
            ::_exit(1);
        }
        ::close(fd);
        QVERIFY(squatter > 0);
        set_bus("usb");
        QCOMPARE(take_unit("foreign0001"), Take::held);
        Holder holder;
        // The squatter's program replaces the copy of this one it was forked as.
        QTRY_VERIFY_WITH_TIMEOUT((holder = why_busy("foreign0001")).busy == Busy::other_process, 5000);
        ::kill(squatter, SIGKILL);
        ::waitpid(squatter, nullptr, 0);
        QCOMPARE(int(holder.busy), int(Busy::other_process));
        QCOMPARE(holder.pid, qint64(squatter));
    }
};

QTEST_GUILESS_MAIN(TestUnitLock)
#include "tst_unit_lock.moc"
