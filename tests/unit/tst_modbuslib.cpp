// The Modbus library layer against the scriptable slave (TCP and RTU over a
// pty pair) and against pymodbus.

#include "fixtures/modbus_slave.h"
#include "modbus/modbuslib.h"

#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>
#include <vector>

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

struct CtxDeleter {
    void operator()(modbus_t *ctx) const
    {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using Ctx = std::unique_ptr<modbus_t, CtxDeleter>;

Ctx openTcp(int port)
{
    Ctx ctx(modbus_new_tcp("127.0.0.1", port));
    if (!ctx || modbus_connect(ctx.get()) == -1)
        return nullptr;
    modbus_set_slave(ctx.get(), 1);
    // Generous: the machine may be busy; only the silent cases wait it out.
    modbus_set_response_timeout(ctx.get(), 2, 0);
    return ctx;
}

Ctx openRtu(const QString &device, int baud, int slave)
{
    Ctx ctx(modbus_new_rtu(device.toLocal8Bit().constData(), baud, 'N', 8, 1));
    if (!ctx || modbus_connect(ctx.get()) == -1)
        return nullptr;
    modbus_set_slave(ctx.get(), slave);
    modbus_set_response_timeout(ctx.get(), 2, 0);
    return ctx;
}

} // namespace

class TestModbusLib : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(slave.startTcp({QStringLiteral("--range32"), QStringLiteral("5000:200")}));
        QVERIFY(dir.isValid());
        QVERIFY(pty.start(dir.path()));
    }

    void init()
    {
        QCOMPARE(slave.command("clear"), QByteArray("OK"));
        QCOMPARE(slave.command("clearlog"), QByteArray("OK"));
    }

    // Values travel as 4 big-endian bytes: a wrong byte order or register
    // width shows in the values read back on either side.
    void roundTripOverTcp()
    {
        Ctx ctx = openTcp(slave.tcpPort());
        QVERIFY(ctx);
        QCOMPARE(slave.command("set32 5000 305419896 4294967295 0 1"), QByteArray("OK"));
        uint32_t got[4] = {};
        QCOMPARE(modbus_read_registers_32(ctx.get(), 5000, 4, got), 4);
        QCOMPARE(got[0], 0x12345678u);
        QCOMPARE(got[1], 0xFFFFFFFFu);
        QCOMPARE(got[2], 0u);
        QCOMPARE(got[3], 1u);

        const uint32_t out[3] = {0xCAFEBABEu, 7u, 0x80000000u};
        QCOMPARE(modbus_write_registers_32(ctx.get(), 5010, 3, out), 3);
        QCOMPARE(slave.command("get32 5010 3"), QByteArray("OK 3405691582 7 2147483648"));
        // The quantity on the wire counts 32-bit registers.
        QCOMPARE(slave.command("log"),
                 QByteArray(R"(OK [{"unit":1,"fn":3,"addr":5000,"qty":4},)"
                            R"({"unit":1,"fn":16,"addr":5010,"qty":3,"values":[3405691582,7,2147483648]}])"));
    }

    void frameLimits_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("expected");
        QTest::newRow("read 62") << false << 62 << 62;
        QTest::newRow("read 63") << false << 63 << -1;
        QTest::newRow("read 0") << false << 0 << -1;
        QTest::newRow("write 61") << true << 61 << 61;
        QTest::newRow("write 62") << true << 62 << -1;
        QTest::newRow("write -1") << true << -1 << -1;
    }
    void frameLimits()
    {
        QFETCH(bool, write);
        QFETCH(int, count);
        QFETCH(int, expected);
        Ctx ctx = openTcp(slave.tcpPort());
        QVERIFY(ctx);
        std::vector<uint32_t> buf(64, 0x01020304u);
        errno = 0;
        const int rc = write ? modbus_write_registers_32(ctx.get(), 5000, count, buf.data())
                             : modbus_read_registers_32(ctx.get(), 5000, count, buf.data());
        QCOMPARE(rc, expected);
        if (expected == -1) {
            QCOMPARE(errno, EINVAL);
            // Refused before anything is sent.
            QCOMPARE(slave.command("log"), QByteArray("OK []"));
        }
    }

    // Replies the library hands over unchecked.
    void badReplies_data()
    {
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("expectedErrno");
        QTest::newRow("read exception") << QByteArray("exception 2 1") << false << int(EMBXILADD);
        QTest::newRow("write exception") << QByteArray("exception 4 1") << true << int(EMBXSFAIL);
        QTest::newRow("read wrong function") << QByteArray("badfunc 1") << false << int(EMBBADDATA);
        QTest::newRow("write wrong function") << QByteArray("badfunc 1") << true << int(EMBBADDATA);
        QTest::newRow("read short byte count") << QByteArray("badcount 1") << false << int(EMBBADDATA);
        QTest::newRow("write wrong echo") << QByteArray("badecho 1") << true << int(EMBBADDATA);
        QTest::newRow("read no reply") << QByteArray("silence 1") << false << int(ETIMEDOUT);
        QTest::newRow("write no reply") << QByteArray("silence 1") << true << int(ETIMEDOUT);
    }
    void badReplies()
    {
        QFETCH(QByteArray, fault);
        QFETCH(bool, write);
        QFETCH(int, expectedErrno);
        Ctx ctx = openTcp(slave.tcpPort());
        QVERIFY(ctx);
        QCOMPARE(slave.command(fault), QByteArray("OK"));
        uint32_t buf[3] = {1, 2, 3};
        errno = 0;
        const int rc = write ? modbus_write_registers_32(ctx.get(), 5000, 3, buf)
                             : modbus_read_registers_32(ctx.get(), 5000, 3, buf);
        QCOMPARE(rc, -1);
        QCOMPARE(errno, expectedErrno);
        QCOMPARE(modbuslib::isNoReply(errno), expectedErrno == ETIMEDOUT);
        // The fault was for one request only: the link still works.
        QCOMPARE(modbus_read_registers_32(ctx.get(), 5000, 3, buf), 3);
    }

    // The slave's fault modes as a standard master sees them; the register
    // tests build on these.
    void slaveFaultModes_data()
    {
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<int>("expectedErrno");
        QTest::newRow("exception") << QByteArray("exception 1 1") << int(EMBXILFUN);
        QTest::newRow("wrong transaction id") << QByteArray("badtid 1") << int(EMBBADDATA);
        QTest::newRow("wrong function") << QByteArray("badfunc 1") << int(EMBBADDATA);
        QTest::newRow("one register short") << QByteArray("badcount 1") << int(EMBBADDATA);
        QTest::newRow("late reply") << QByteArray("delay 1500 1") << int(ETIMEDOUT);
        QTest::newRow("dropped connection") << QByteArray("drop 1") << int(ECONNRESET);
    }
    void slaveFaultModes()
    {
        QFETCH(QByteArray, fault);
        QFETCH(int, expectedErrno);
        Ctx ctx = openTcp(slave.tcpPort());
        QVERIFY(ctx);
        QCOMPARE(slave.command("set 100 11 12"), QByteArray("OK"));
        QCOMPARE(slave.command(fault), QByteArray("OK"));
        if (fault.startsWith("delay"))
            modbus_set_response_timeout(ctx.get(), 0, 500000);
        uint16_t regs[2] = {};
        errno = 0;
        QCOMPARE(modbus_read_registers(ctx.get(), 100, 2, regs), -1);
        QCOMPARE(errno, expectedErrno);
        // One request only: a fresh link reads normally.
        Ctx again = openTcp(slave.tcpPort());
        QVERIFY(again);
        QCOMPARE(modbus_read_registers(again.get(), 100, 2, regs), 2);
        QCOMPARE(regs[1], uint16_t(12));
    }

    // Over RTU the function code sits after the one-byte slave address and a
    // CRC follows the data: the same operations with the other framing.
    void roundTripOverRtu()
    {
        ModbusSlave rtu;
        QVERIFY(rtu.startRtu(pty.endB(), 9600,
                             {QStringLiteral("--slave"), QStringLiteral("7"), QStringLiteral("--range32"),
                              QStringLiteral("100:10"), QStringLiteral("--reg32"), QStringLiteral("100=305419896,42")}));
        Ctx ctx = openRtu(pty.endA(), 9600, 7);
        QVERIFY(ctx);
        uint32_t got[2] = {};
        QCOMPARE(modbus_read_registers_32(ctx.get(), 100, 2, got), 2);
        QCOMPARE(got[0], 0x12345678u);
        QCOMPARE(got[1], 42u);
        const uint32_t out[2] = {0xDEADBEEFu, 1u};
        QCOMPARE(modbus_write_registers_32(ctx.get(), 104, 2, out), 2);
        QCOMPARE(rtu.command("get32 104 2"), QByteArray("OK 3735928559 1"));

        QCOMPARE(rtu.command("exception 3 1"), QByteArray("OK"));
        errno = 0;
        QCOMPARE(modbus_read_registers_32(ctx.get(), 100, 2, got), -1);
        QCOMPARE(errno, int(EMBXILVAL));
        QCOMPARE(QByteArray(modbus_strerror(errno)), QByteArray("Illegal data value"));
    }

    // 256000 has no termios constant; libmodbus alone would leave the line at 9600.
    void customBaudRate()
    {
        QVERIFY(modbuslib::needsCustomBaudRate(256000));
        QVERIFY(!modbuslib::needsCustomBaudRate(1000000));
        QVERIFY(!modbuslib::needsCustomBaudRate(230400));
        Ctx ctx = openRtu(pty.endA(), 256000, 1);
        QVERIFY(ctx);
        QVERIFY(modbuslib::setCustomBaudRate(ctx.get(), 256000));
        struct termios2 tio;
        QCOMPARE(ioctl(modbus_get_socket(ctx.get()), TCGETS2, &tio), 0);
        QCOMPARE(tio.c_ospeed, speed_t(256000));
        QCOMPARE(tio.c_ispeed, speed_t(256000));
    }

    void extraPorts_data()
    {
        QTest::addColumn<QByteArray>("iniLine");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("absent") << QByteArray() << QStringList();
        QTest::newRow("empty") << QByteArray("extraPorts=") << QStringList();
        QTest::newRow("one") << QByteArray("extraPorts=/dev/pts/7") << QStringList{"/dev/pts/7"};
        QTest::newRow("list") << QByteArray("extraPorts=/tmp/ttyA, /dev/serial/by-id/usb-X")
                              << QStringList{"/tmp/ttyA", "/dev/serial/by-id/usb-X"};
    }
    void extraPorts()
    {
        QFETCH(QByteArray, iniLine);
        QFETCH(QStringList, expected);
        QTemporaryDir tmp;
        const QString ini = tmp.filePath(QStringLiteral("config.ini"));
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[listener]\nport=80\n[serial]\n" + iniLine + "\n");
        f.close();
        QCOMPARE(modbuslib::extraPorts(ini), expected);

        // Listed after the ports present, in their order, whether they exist or not.
        const QList<modbuslib::PortInfo> ports = modbuslib::availablePorts(ini);
        QVERIFY(ports.size() >= expected.size());
        const qsizetype first = ports.size() - expected.size();
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QCOMPARE(ports[first + i].portName, expected[i]);
            QCOMPARE(ports[first + i].friendName, expected[i]);
        }
    }

    // pymodbus as an independent peer for the standard calls over both links.
    void standardCallsAgainstPymodbus()
    {
        FixtureProcess tcp;
        const QString ready = tcp.startPython(QStringLiteral("pymodbus_slave.py"),
                                              {QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--reg"),
                                               QStringLiteral("100=1,65535")},
                                              QStringLiteral("READY"));
        QVERIFY2(!ready.isEmpty(), "pymodbus did not start");
        Ctx ctx = openTcp(ready.section(QLatin1Char(':'), -1).toInt());
        QVERIFY(ctx);
        uint16_t regs[2] = {};
        QCOMPARE(modbus_read_registers(ctx.get(), 100, 2, regs), 2);
        QCOMPARE(regs[0], uint16_t(1));
        QCOMPARE(regs[1], uint16_t(65535));
        const uint16_t out[2] = {4660, 22136};
        QCOMPARE(modbus_write_registers(ctx.get(), 200, 2, out), 2);
        QCOMPARE(modbus_read_registers(ctx.get(), 200, 2, regs), 2);
        QCOMPARE(regs[1], uint16_t(22136));

        FixtureProcess rtu;
        QVERIFY(!rtu.startPython(QStringLiteral("pymodbus_slave.py"),
                                 {QStringLiteral("--rtu"), pty.endB(), QStringLiteral("--reg"), QStringLiteral("10=7,8")},
                                 QStringLiteral("READY"))
                     .isEmpty());
        Ctx serial = openRtu(pty.endA(), 9600, 3);
        QVERIFY(serial);
        // pymodbus is slow to answer its first frame on a busy machine.
        modbus_set_response_timeout(serial.get(), 3, 0);
        QCOMPARE(modbus_read_registers(serial.get(), 10, 2, regs), 2);
        QCOMPARE(regs[0], uint16_t(7));
        QCOMPARE(regs[1], uint16_t(8));
    }

private:
    ModbusSlave slave;
    QTemporaryDir dir;
    PtyPair pty;
};

QTEST_GUILESS_MAIN(TestModbusLib)
#include "tst_modbuslib.moc"
