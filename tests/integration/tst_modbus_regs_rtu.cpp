// Reading, writing and identification through HTTP against the real binary,
// over Modbus RTU on a pseudo-terminal pair, with the scriptable slave on the
// far end.

#include "modbus_regs_support.h"
#include "support/orvoinstance.h"

#include <modbus.h>

#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray sent = R"({"ok":"Values successfully sent."})";

} // namespace

class TestModbusRegsRtu : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void writeReadIdentify();
    void retriesPerFault_data();
    void retriesPerFault();
    void slaveRestart();

private:
    bool startSlave();

    QTemporaryDir dir;
    PtyPair pty;
    OrvoInstance orvo;
    ModbusSlave slave;
};

bool TestModbusRegsRtu::startSlave()
{
    return slave.startRtu(pty.endB(), 19200,
                          {QStringLiteral("--slave"), QStringLiteral("3"), QStringLiteral("--range32"),
                           QStringLiteral("5000:100")});
}

void TestModbusRegsRtu::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(pty.start(dir.path()));
    QVERIFY(startSlave());
    orvo.setConfig(QStringLiteral("serial/extraPorts"), pty.endA());
    QVERIFY(orvo.start());
    // Baud index 4 is 19200, mode 3 is 8N1.
    QCOMPARE(orvo.ajax("func=connect&connType=serial&slaveID=3&baudRate=4&mode=3&timeout=300&portSelect="
                       + QUrl::toPercentEncoding(pty.endA())),
             QByteArray(R"({"ok":"Connected with serial port."})"));
}

void TestModbusRegsRtu::init()
{
    QCOMPARE(slave.command("clear"), QByteArray("OK"));
    QCOMPARE(slave.command("clearlog"), QByteArray("OK"));
}

void TestModbusRegsRtu::writeReadIdentify()
{
    QCOMPARE(orvo.ajax("func=writeRegisters&regAddr=10&valuesCnt=2&regType=float4321&valSize=32&regVals=[3.14159274,-2]"), sent);
    QCOMPARE(slaveRegisters(slave, "get 10 4"), (QList<qint64>{0x4049, 0x0FDB, 0xC000, 0}));
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=10&valuesCnt=2&regType=float4321&valSize=32"), QByteArray("[3.14159,-2]"));

    QCOMPARE(orvo.ajax("func=writeRegisters&regAddr=5000&valuesCnt=2&regSize=32&valSize=32&regType=uint&regVals=[4294967295,5]"), sent);
    QCOMPARE(slaveRegisters(slave, "get32 5000 2"), (QList<qint64>{4294967295, 5}));
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=5000&valuesCnt=2&regSize=32&valSize=32&regType=uint"), QByteArray("[4294967295,5]"));

    // A run longer than one frame.
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=0&valuesCnt=200&valSize=32").count(','), 199);

    QCOMPARE(slave.command("reportid 03FF4142"), QByteArray("OK"));
    QCOMPARE(orvo.ajax("func=identifySlave"), QByteArray(R"({"id":3,"desc":"AB","descArray":[3,255,65,66]})"));
}

void TestModbusRegsRtu::retriesPerFault_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("requests");

    const QByteArray read = "func=readRegisters&regAddr=20&valuesCnt=2";
    const QByteArray exception = QByteArray(R"({"error":"Protocol error! )")
                               + modbus_strerror(MODBUS_ENOBASE + MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE) + R"("})";
    QTest::newRow("exception every time, reopened between") << QByteArray("exception 3") << read << exception << 4;
    QTest::newRow("write, exception every time") << QByteArray("exception 3") << QByteArray("func=writeRegisters&regAddr=20&valuesCnt=1&regVals=[1]") << exception << 4;
    QTest::newRow("identify, exception every time") << QByteArray("exception 3") << QByteArray("func=identifySlave") << exception << 4;
    QTest::newRow("one exception, then served") << QByteArray("exception 3 1") << read << QByteArray("[8,9]") << 2;
    QTest::newRow("never answering") << QByteArray("silence") << read << QByteArray(R"({"error":"I/O error: did not receive any data from slave."})") << 1;
}

void TestModbusRegsRtu::retriesPerFault()
{
    QFETCH(QByteArray, fault);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QFETCH(int, requests);

    QCOMPARE(slave.command("set 20 8 9"), QByteArray("OK"));
    QCOMPARE(slave.command(fault), QByteArray("OK"));
    QCOMPARE(orvo.ajax(query), reply);
    QCOMPARE(slaveLog(slave).size(), requests);
    // Still usable afterwards: the line was reopened from the stored settings.
    QCOMPARE(slave.command("clear"), QByteArray("OK"));
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=20&valuesCnt=2"), QByteArray("[8,9]"));
}

void TestModbusRegsRtu::slaveRestart()
{
    QCOMPARE(slave.command("set 30 1"), QByteArray("OK"));
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=30&valuesCnt=1"), QByteArray("[1]"));
    slave.stop();
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=30&valuesCnt=1"),
             QByteArray(R"({"error":"I/O error: did not receive any data from slave."})"));
    QVERIFY(startSlave());
    QCOMPARE(slave.command("set 30 2"), QByteArray("OK"));
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=30&valuesCnt=1"), QByteArray("[2]"));
}

QTEST_GUILESS_MAIN(TestModbusRegsRtu)
#include "tst_modbus_regs_rtu.moc"
