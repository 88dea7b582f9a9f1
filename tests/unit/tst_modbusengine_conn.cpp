// The engine's tables, port report, connect, disconnect and reconnect, with
// real links: a pty pair listed as extra ports, the scriptable slave on the
// pty's other end and on loopback TCP.

#include "fixtures/modbus_slave.h"
#include "modbus/modbusengine.h"
#include "modbus/modbuslib.h"

#include <QCoreApplication>
#include <QFile>
#include <QSerialPortInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

ParameterMap params(const QByteArray &query)
{
    ParameterMap map;
    for (const QByteArray &pair : query.split('&')) {
        if (pair.isEmpty())
            continue;
        const qsizetype eq = pair.indexOf('=');
        map.insert(pair.left(eq), eq < 0 ? QByteArray() : pair.mid(eq + 1));
    }
    return map;
}

QVariant stored(const char *key)
{
    QSettings store(QStringLiteral("Brask"), QStringLiteral("Orvo"));
    return store.value(QLatin1String(key));
}

const QByteArray fixedTables =
    R"("baudRate":{"0":"1200","1":"2400","2":"4800","3":"9600","4":"19200","5":"38400","6":"57600",)"
    R"("7":"115200","8":"230400","9":"256000","10":"1000000"},)"
    R"("mode":{"0":"RTU 8N2","1":"RTU 8E1","2":"RTU 8O1","3":"RTU 8N1"},)";

// The report after its "ports" member, which depends on the machine.
QByteArray afterPorts(const QByteArray &report)
{
    const qsizetype at = report.indexOf(R"(},"baudRate":)");
    return at < 0 ? QByteArray() : report.mid(at + 2);
}

} // namespace

class TestModbusEngineConn : public QObject
{
    Q_OBJECT

    void listPorts(const QStringList &paths)
    {
        QSettings ini(iniPath, QSettings::IniFormat);
        ini.setValue(QStringLiteral("serial/extraPorts"), paths);
        ini.sync();
    }
    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }
    QStringList defaultPorts() const
    {
        return {pty.endA(), path("LPT1"), path("missing"), path("plain"), path("COM10"), path("COM1")};
    }
    static modbus_t *ctxOf(ModbusEngine &engine) { return engine.ctx; }
    static bool reconnectOf(ModbusEngine &engine) { return engine.reconnect(); }
    static void expectTimeout(ModbusEngine &engine, uint32_t sec, uint32_t usec)
    {
        uint32_t s = 0, us = 0;
        QCOMPARE(modbus_get_response_timeout(engine.ctx, &s, &us), 0);
        QCOMPARE(s, sec);
        QCOMPARE(us, usec);
    }
    // The live link answers: the slave on the pty's other end reads it back.
    static void expectLiveSerialLink(ModbusEngine &engine)
    {
        modbus_set_slave(engine.ctx, 1);
        // Room for a busy machine; the engine's own time-out was checked before.
        modbus_set_response_timeout(engine.ctx, 3, 0);
        uint16_t reg = 0;
        QCOMPARE(modbus_read_registers(engine.ctx, 10, 1, &reg), 1);
        QCOMPARE(reg, uint16_t(4242));
    }
    void connectSerial(ModbusEngine &engine)
    {
        QCOMPARE(engine.connect(params("connType=serial&portSelect=" + pty.endA().toUtf8()
                                       + "&slaveID=1&baudRate=3&mode=3&timeout=700")),
                 QByteArray(R"({"ok":"Connected with serial port."})"));
    }
    void connectTcp(ModbusEngine &engine)
    {
        QCOMPARE(engine.connect(params("connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=1&timeout=2000&port_tcp="
                                       + QByteArray::number(tcpSlave.tcpPort()))),
                 QByteArray(R"({"ok":"Connected with Modbus TCP."})"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(pty.start(dir.path()));
        QVERIFY(rtuSlave.startRtu(pty.endB(), 9600, {QStringLiteral("--reg"), QStringLiteral("10=4242")}));
        QVERIFY(tcpSlave.startTcp());
        // A listed LPT1 is refused by its name, even though it is a working line.
        QVERIFY(QFile::link(pty.endA(), path("LPT1")));
        QVERIFY(QFile::link(pty.endA(), path("COM10")));
        QFile plain(path("plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        iniPath = path("config.ini");
        modbuslib::setConfigFile(iniPath);
    }

    void init()
    {
        QSettings(QStringLiteral("Brask"), QStringLiteral("Orvo")).clear();
        listPorts(defaultPorts());
    }

    void baudRateAt_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("rate");
        QTest::newRow("0") << 0 << 1200;
        QTest::newRow("8") << 8 << 230400;
        QTest::newRow("9") << 9 << 256000;
        QTest::newRow("10") << 10 << 1000000;
        QTest::newRow("11") << 11 << -1;
        QTest::newRow("-1") << -1 << -1;
        QTest::newRow("INT_MIN") << INT_MIN << -1;
    }
    void baudRateAt()
    {
        QFETCH(int, index);
        QFETCH(int, rate);
        QCOMPARE(ModbusEngine::baudRateAt(index), rate);
    }

    void portReport_data()
    {
        QTest::addColumn<bool>("fill");
        QTest::addColumn<QByteArray>("userSettings");
        QTest::newRow("empty store")
            << false
            << QByteArray(R"("userSettings":{"port":"0","slaveID":1,"baudRate":0,"mode":3,"timeout":1000,)"
                          R"("tcpIp":"192.168.1.100","tcpPort":502,"connectionType":"serial","isConnected":false}})");
        QTest::newRow("stored settings")
            << true
            << QByteArray(R"("userSettings":{"port":"COM3","slaveID":5,"baudRate":3,"mode":3,"timeout":500,)"
                          R"("tcpIp":"10.1.2.3","tcpPort":1502,"connectionType":"serial","isConnected":false}})");
    }
    void portReport()
    {
        QFETCH(bool, fill);
        QFETCH(QByteArray, userSettings);
        if (fill) {
            QSettings store(QStringLiteral("Brask"), QStringLiteral("Orvo"));
            store.setValue(QStringLiteral("portName"), QStringLiteral("COM3"));
            store.setValue(QStringLiteral("slaveID"), 5);
            store.setValue(QStringLiteral("baudRate"), 3);
            store.setValue(QStringLiteral("mode"), 3);
            store.setValue(QStringLiteral("timeout"), 500);
            store.setValue(QStringLiteral("tcpIp"), QStringLiteral("10.1.2.3"));
            store.setValue(QStringLiteral("tcpPort"), 1502);
        }
        listPorts({});
        ModbusEngine engine;
        const QByteArray report = engine.getPortSettings();
        QVERIFY2(report.startsWith(R"({"ports":{)"), report.constData());
        QCOMPARE(afterPorts(report), fixedTables + userSettings);
        if (QSerialPortInfo::availablePorts().isEmpty())
            QVERIFY(report.startsWith(R"({"ports":{},"baudRate")"));
    }

    // Every listed port is reported, in order, after the ones present; device
    // paths of the \\.\COM10 form are cut to their last five characters.
    void portReportNames()
    {
        listPorts({QStringLiteral("\\\\.\\COM10"), QStringLiteral("\\\\.\\COM3"), QStringLiteral("LPT1"),
                   pty.endA()});
        ModbusEngine engine;
        const QByteArray report = engine.getPortSettings();
        const int n = int(QSerialPortInfo::availablePorts().size());
        const auto key = [n](int i) { return '"' + QByteArray::number(n + i) + '"'; };
        const QByteArray a = pty.endA().toUtf8();
        const QByteArray expected = key(0) + R"(:{"portName":"COM10","friendName":"\\\\.\\COM10"},)"
                                    + key(1) + R"(:{"portName":"\\COM3","friendName":"\\\\.\\COM3"},)"
                                    + key(2) + R"(:{"portName":"LPT1","friendName":"LPT1"},)"
                                    + key(3) + ":{\"portName\":\"" + a + "\",\"friendName\":\"" + a + "\"}},";
        QVERIFY2(report.contains(expected), report.constData());
    }

    // Refusals before any link is touched: the reply, what is stored, and a
    // fresh engine left as it was.
    void connectRefused_data()
    {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QVariant>("selectedPort");

        const QByteArray input = R"({"error":"Input parameters error!"})";
        const QByteArray serial = "connType=serial&slaveID=1&baudRate=3&mode=3&timeout=100&portSelect=";
        const QByteArray a = pty.endA().toUtf8();
        QTest::newRow("no connType") << QByteArray("portSelect=x&slaveID=1") << input << QVariant();
        QTest::newRow("Serial is TCP") << QByteArray("connType=Serial&portSelect=COM1&slaveID=1&baudRate=3&mode=3&timeout=1")
                                       << input << QVariant();
        QTest::newRow("serial without portSelect") << QByteArray("connType=serial&slaveID=1&baudRate=3&mode=3&timeout=1")
                                                   << input << QVariant();
        QTest::newRow("serial without timeout") << QByteArray("connType=serial&portSelect=COM1&slaveID=1&baudRate=3&mode=3")
                                                << input << QVariant();
        QTest::newRow("tcp without port_tcp") << QByteArray("connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=1&timeout=1")
                                              << input << QVariant();
        QTest::newRow("tcp without slaveID") << QByteArray("connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp=502&timeout=1")
                                             << input << QVariant();
        QTest::newRow("port not there") << serial + "/dev/no-such-tty" << QByteArray(R"({"error":"Selected serial port not found."})")
                                        << QVariant(QStringLiteral("v/no-such-tty"));
        QTest::newRow("parallel port") << serial + "LPT1" << QByteArray(R"({"error":"Invalid port!"})")
                                       << QVariant(QStringLiteral("1"));
        QTest::newRow("baud index 11") << QByteArray("connType=serial&slaveID=1&baudRate=11&mode=3&timeout=1&portSelect=") + a
                                       << QByteArray(R"({"error":"Baud rate error!"})") << QVariant(pty.endA().mid(3));
        QTest::newRow("baud index -1") << QByteArray("connType=serial&slaveID=1&baudRate=-1&mode=3&timeout=1&portSelect=") + a
                                       << QByteArray(R"({"error":"Baud rate error!"})") << QVariant(pty.endA().mid(3));
    }
    void connectRefused()
    {
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, reply);
        QFETCH(QVariant, selectedPort);
        ModbusEngine engine;
        QCOMPARE(engine.connect(params(query)), reply);
        QCOMPARE(stored("Selected_Port"), selectedPort);
        for (const char *key : {"portName", "slaveID", "baudRate", "mode", "timeout", "tcpIp", "tcpPort"})
            QVERIFY2(!stored(key).isValid(), key);
        QVERIFY(!engine.hasContext());
        QVERIFY(!engine.connected());
        QCOMPARE(engine.currentConnectionType(), qint16(0));
    }

    // A refusal before the link is touched leaves a live link alone.
    void refusalKeepsLink()
    {
        ModbusEngine engine;
        connectSerial(engine);
        QCOMPARE(engine.connect(params("connType=serial&portSelect=" + pty.endA().toUtf8()
                                       + "&slaveID=1&baudRate=11&mode=3&timeout=1")),
                 QByteArray(R"({"error":"Baud rate error!"})"));
        QCOMPARE(engine.connect(params("connType=tcp&slaveID=1&timeout=1")),
                 QByteArray(R"({"error":"Input parameters error!"})"));
        QVERIFY(engine.hasContext());
        QVERIFY(engine.connected());
        QCOMPARE(engine.currentConnectionType(), qint16(0));
        expectLiveSerialLink(engine);
    }

    void serialConnect_data()
    {
        QTest::addColumn<QByteArray>("portSelect");
        QTest::addColumn<QByteArray>("numbers");
        QTest::addColumn<QVariantList>("storedValues"); // slaveID, baudRate, mode, timeout
        QTest::addColumn<uint>("sec");
        QTest::addColumn<uint>("usec");
        QTest::addColumn<uint>("lineSpeed");
        const QByteArray a = pty.endA().toUtf8();
        QTest::newRow("plain") << a << QByteArray("slaveID=5&baudRate=3&mode=3&timeout=500")
                               << QVariantList{5, 3, 3, 500} << 0u << 500000u << 9600u;
        QTest::newRow("16-bit truncation, no termios constant")
            << QByteArray("ttyA") << QByteArray("slaveID=65537&baudRate=9&mode=65536&timeout=1500")
            << QVariantList{1, 9, 0, 1500} << 1u << 500000u << 256000u;
        QTest::newRow("sign extension") << a << QByteArray("slaveID=65535&baudRate=10&mode=32769&timeout=2000")
                                        << QVariantList{-1, 10, -32767, 2000} << 2u << 0u << 1000000u;
        // The library default (0.5 s) stays for a time-out of 0 or less.
        QTest::newRow("not numbers") << a << QByteArray("slaveID=abc&baudRate=x&mode=&timeout=1.5")
                                     << QVariantList{0, 0, 0, 0} << 0u << 500000u << 1200u;
        QTest::newRow("negative timeout") << a << QByteArray("slaveID=2&baudRate=7&mode=1&timeout=-20")
                                          << QVariantList{2, 7, 1, -20} << 0u << 500000u << 115200u;
    }
    void serialConnect()
    {
        QFETCH(QByteArray, portSelect);
        QFETCH(QByteArray, numbers);
        QFETCH(QVariantList, storedValues);
        QFETCH(uint, sec);
        QFETCH(uint, usec);
        QFETCH(uint, lineSpeed);
        ModbusEngine engine;
        QCOMPARE(engine.connect(params("connType=serial&portSelect=" + portSelect + '&' + numbers)),
                 QByteArray(R"({"ok":"Connected with serial port."})"));
        QVERIFY(engine.connected());
        QCOMPARE(engine.currentConnectionType(), qint16(0));
        // The request's text is stored, not the matched device.
        QCOMPARE(stored("portName").toString(), QString::fromUtf8(portSelect));
        QCOMPARE(stored("Selected_Port").toString(), QString::fromUtf8(portSelect.mid(3)));
        QCOMPARE(stored("slaveID").toInt(), storedValues[0].toInt());
        QCOMPARE(stored("baudRate").toInt(), storedValues[1].toInt());
        QCOMPARE(stored("mode").toInt(), storedValues[2].toInt());
        QCOMPARE(stored("timeout").toInt(), storedValues[3].toInt());
        expectTimeout(engine, sec, usec);
        struct termios2 tio;
        QCOMPARE(ioctl(modbus_get_socket(ctxOf(engine)), TCGETS2, &tio), 0);
        QCOMPARE(uint(tio.c_ospeed), lineSpeed);
        expectLiveSerialLink(engine);

        // The report shows what was stored and the live state.
        QVERIFY(engine.getPortSettings().endsWith(R"("connectionType":"serial","isConnected":true}})"));
    }

    // COM10 is listed before COM1 and its name contains "COM1": it wins.
    // COM1 itself does not exist, so only the first match connects.
    void firstMatchingPortWins()
    {
        ModbusEngine engine;
        QCOMPARE(engine.connect(params("connType=serial&portSelect=COM1&slaveID=1&baudRate=3&mode=3&timeout=300")),
                 QByteArray(R"({"ok":"Connected with serial port."})"));
        QCOMPARE(stored("portName").toString(), QStringLiteral("COM1"));
        expectLiveSerialLink(engine);
    }

    void serialCannotOpen_data()
    {
        QTest::addColumn<QByteArray>("port");
        QTest::newRow("no such file") << QByteArray("missing");
        QTest::newRow("not a terminal") << QByteArray("plain");
    }
    void serialCannotOpen()
    {
        QFETCH(QByteArray, port);
        ModbusEngine engine;
        connectTcp(engine);
        QSettings(QStringLiteral("Brask"), QStringLiteral("Orvo")).clear();
        QCOMPARE(engine.connect(params("connType=serial&slaveID=4&baudRate=3&mode=3&timeout=100&portSelect="
                                       + path(port.constData()).toUtf8())),
                 QByteArray(R"({"error":"Could not connect to serial port!"})"));
        QVERIFY(!engine.hasContext());
        QVERIFY(!engine.connected());
        QCOMPARE(engine.currentConnectionType(), qint16(1));
        QCOMPARE(stored("Selected_Port").toString(), path(port.constData()).mid(3));
        for (const char *key : {"portName", "slaveID", "baudRate", "mode", "timeout"})
            QVERIFY2(!stored(key).isValid(), key);
    }

    void tcpConnectAndDisconnect()
    {
        ModbusEngine engine;
        QCOMPARE(engine.connect(params("connType=TCP&ipAddres_tcp=127.0.0.1&slaveID=65537&timeout=2000&port_tcp="
                                       + QByteArray::number(tcpSlave.tcpPort()))),
                 QByteArray(R"({"ok":"Connected with Modbus TCP."})"));
        QVERIFY(engine.hasContext());
        QVERIFY(engine.connected());
        QCOMPARE(engine.currentConnectionType(), qint16(1));
        // Held but closed between operations, with the library's own reply time-out.
        QCOMPARE(modbus_get_socket(ctxOf(engine)), -1);
        expectTimeout(engine, 0, 500000);
        QCOMPARE(stored("tcpIp").toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(stored("tcpPort").toInt(), tcpSlave.tcpPort());
        QCOMPARE(stored("slaveID").toInt(), 1);
        QCOMPARE(stored("timeout").toInt(), 2000);
        QVERIFY(!stored("Selected_Port").isValid());

        QCOMPARE(engine.disconnect(), QByteArray(R"({"ok":"Disconnected"})"));
        QVERIFY(!engine.hasContext());
        QVERIFY(!engine.connected());
        QCOMPARE(engine.currentConnectionType(), qint16(1));
        QVERIFY(engine.getPortSettings().endsWith(R"("connectionType":"tcp","isConnected":false}})"));
        QCOMPARE(engine.disconnect(), QByteArray(R"({"ok":"Disconnected"})"));
    }

    void tcpConnectFails_data()
    {
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<int>("port"); // 0: nothing listens; -1: a full accept queue
        QTest::addColumn<int>("timeout");
        QTest::newRow("nothing listens") << QByteArray("127.0.0.1") << 0 << 1000;
        QTest::newRow("never answers") << QByteArray("127.0.0.1") << -1 << 300;
        // A negative wait is no wait at all, never "forever".
        QTest::newRow("never answers, negative wait") << QByteArray("127.0.0.1") << -1 << -1;
        QTest::newRow("not an address") << QByteArray("localhost.invalid") << 0 << 300;
        QTest::newRow("empty address") << QByteArray("") << 0 << 300;
    }
    void tcpConnectFails()
    {
        QFETCH(QByteArray, address);
        QFETCH(int, port);
        QFETCH(int, timeout);
        FullBacklogListener backlog;
        if (port == 0)
            port = freeLoopbackPort();
        else if (port == -1)
            port = backlog.port;
        ModbusEngine engine;
        connectSerial(engine);
        QCOMPARE(engine.connect(params("connType=tcp&ipAddres_tcp=" + address + "&slaveID=9&timeout="
                                       + QByteArray::number(timeout) + "&port_tcp=" + QByteArray::number(port))),
                 QByteArray(R"({"error":"Could not connect to Modbus TCP!"})"));
        QVERIFY(!engine.hasContext());
        QVERIFY(!engine.connected());
        QCOMPARE(engine.currentConnectionType(), qint16(0));
        // Stored all the same, for the next attempt and the report.
        QCOMPARE(stored("tcpIp").toByteArray(), address);
        QCOMPARE(stored("tcpPort").toInt(), port);
        QCOMPARE(stored("slaveID").toInt(), 9);
        QCOMPARE(stored("timeout").toInt(), timeout);
    }

    void reconnect_data()
    {
        QTest::addColumn<QString>("start"); // "tcp", "serial", "disconnected"
        QTest::addColumn<QStringList>("portsThen");
        QTest::addColumn<bool>("result");
        QTest::addColumn<bool>("context");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<int>("type");
        const QStringList all = defaultPorts();
        QTest::newRow("tcp: nothing to do") << "tcp" << all << true << true << true << 1;
        QTest::newRow("not connected") << "disconnected" << all << false << false << false << 0;
        QTest::newRow("serial, reopens") << "serial" << all << true << true << true << 0;
        QTest::newRow("serial, port gone") << "serial" << QStringList{path("missing")} << false << false << false << 0;
        // The stored text still matches a listed name, whose line will not open.
        QTest::newRow("serial, link does not open")
            << "serial" << QStringList{pty.endA() + QStringLiteral("-gone")} << false << true << false << 0;
    }
    void reconnect()
    {
        QFETCH(QString, start);
        QFETCH(QStringList, portsThen);
        QFETCH(bool, result);
        QFETCH(bool, context);
        QFETCH(bool, connected);
        QFETCH(int, type);
        ModbusEngine engine;
        if (start == QLatin1String("tcp")) {
            connectTcp(engine);
        } else {
            connectSerial(engine);
            if (start == QLatin1String("disconnected"))
                engine.disconnect();
        }
        listPorts(portsThen);
        QCOMPARE(reconnectOf(engine), result);
        QCOMPARE(engine.hasContext(), context);
        QCOMPARE(engine.connected(), connected);
        QCOMPARE(engine.currentConnectionType(), qint16(type));
        if (start == QLatin1String("serial") && result) {
            expectTimeout(engine, 0, 700000);
            expectLiveSerialLink(engine);
        }
    }

private:
    QTemporaryDir dir;
    PtyPair pty;
    ModbusSlave rtuSlave;
    ModbusSlave tcpSlave;
    QString iniPath;
};

int main(int argc, char **argv)
{
    // The per-user store goes to a folder of this run's own.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Brask"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvo"));
    TestModbusEngineConn test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_modbusengine_conn.moc"
