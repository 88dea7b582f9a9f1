// Connect, disconnect and the port report through HTTP against the real
// program, with the scriptable slave and pymodbus as peers over loopback TCP
// and over a pty pair listed as an extra serial port.

#include "fixtures/modbus_slave.h"
#include "support/orvoinstance.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

namespace {

const QByteArray defaultUserSettings =
    "\"userSettings\":{\"port\":\"0\",\"slaveID\":1,\"baudRate\":0,\"mode\":3,\"timeout\":1000,"
    "\"tcpIp\":\"192.168.1.100\",\"tcpPort\":502,\"connectionType\":\"serial\",\"isConnected\":false}}";

QByteArray userSettingsOf(const QByteArray &report)
{
    const qsizetype at = report.indexOf("\"userSettings\":");
    return at < 0 ? QByteArray() : report.mid(at);
}

} // namespace

class TestModbusConnHttp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(pty.start(dir.path()));
    }

    void serialLink_data()
    {
        QTest::addColumn<bool>("pymodbus");
        QTest::newRow("scriptable slave") << false;
        QTest::newRow("pymodbus") << true;
    }
    void serialLink()
    {
        QFETCH(bool, pymodbus);
        ModbusSlave slave;
        FixtureProcess peer;
        if (pymodbus)
            QVERIFY(!peer.startPython(QStringLiteral("pymodbus_slave.py"), {QStringLiteral("--rtu"), pty.endB()},
                                      QStringLiteral("READY"))
                         .isEmpty());
        else
            QVERIFY(slave.startRtu(pty.endB(), 256000));

        OrvoInstance orvo;
        orvo.setConfig(QStringLiteral("serial/extraPorts"), pty.endA());
        QVERIFY(orvo.start());
        const QByteArray a = pty.endA().toUtf8();

        const QByteArray before = orvo.ajax("func=getPortSettings");
        QVERIFY2(before.contains("{\"portName\":\"" + a + "\",\"friendName\":\"" + a + "\"}},\"baudRate\""),
                 before.constData());
        QCOMPARE(userSettingsOf(before), defaultUserSettings);

        QCOMPARE(orvo.ajax("func=connect&connType=serial&portSelect=" + a + "&slaveID=5&baudRate=9&mode=3&timeout=500"),
                 QByteArray(R"({"ok":"Connected with serial port."})"));
        QCOMPARE(userSettingsOf(orvo.ajax("func=getPortSettings")),
                 "\"userSettings\":{\"port\":\"" + a + "\",\"slaveID\":5,\"baudRate\":9,\"mode\":3,\"timeout\":500,"
                     "\"tcpIp\":\"192.168.1.100\",\"tcpPort\":502,\"connectionType\":\"serial\",\"isConnected\":true}}");
        {
            QSettings store(orvo.configHome() + QStringLiteral("/Brask/Orvo.conf"), QSettings::IniFormat);
            QCOMPARE(store.value(QStringLiteral("Selected_Port")).toString(), pty.endA().mid(3));
        }

        QCOMPARE(orvo.ajax("func=disconnect"), QByteArray(R"({"ok":"Disconnected"})"));
        QVERIFY(orvo.ajax("func=getPortSettings").endsWith("\"connectionType\":\"serial\",\"isConnected\":false}}"));

        // A listed port that is not there any more.
        QCOMPARE(orvo.ajax("func=connect&connType=serial&portSelect=" + a + "&slaveID=5&baudRate=10&mode=3&timeout=500"),
                 QByteArray(R"({"ok":"Connected with serial port."})"));
        pty.stop();
        QCOMPARE(orvo.ajax("func=connect&connType=serial&portSelect=" + a + "&slaveID=5&baudRate=3&mode=3&timeout=500"),
                 QByteArray(R"({"error":"Could not connect to serial port!"})"));
        QVERIFY(orvo.ajax("func=getPortSettings").endsWith("\"connectionType\":\"serial\",\"isConnected\":false}}"));
        QVERIFY(pty.start(dir.path()));
        QCOMPARE(orvo.stop(), 0);
    }

    void tcpLink_data()
    {
        QTest::addColumn<bool>("pymodbus");
        QTest::newRow("scriptable slave") << false;
        QTest::newRow("pymodbus") << true;
    }
    void tcpLink()
    {
        QFETCH(bool, pymodbus);
        ModbusSlave slave;
        FixtureProcess peer;
        int port = 0;
        if (pymodbus) {
            const QString ready = peer.startPython(QStringLiteral("pymodbus_slave.py"),
                                                   {QStringLiteral("--tcp"), QStringLiteral("0")}, QStringLiteral("READY"));
            QVERIFY(!ready.isEmpty());
            port = ready.section(QLatin1Char(':'), -1).toInt();
        } else {
            QVERIFY(slave.startTcp());
            port = slave.tcpPort();
        }

        OrvoInstance orvo;
        QVERIFY(orvo.start());
        const QByteArray p = QByteArray::number(port);
        QCOMPARE(orvo.ajax("func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=3&timeout=2000&port_tcp=" + p),
                 QByteArray(R"({"ok":"Connected with Modbus TCP."})"));
        QCOMPARE(userSettingsOf(orvo.ajax("func=getPortSettings")),
                 "\"userSettings\":{\"port\":\"0\",\"slaveID\":3,\"baudRate\":0,\"mode\":3,\"timeout\":2000,\"tcpIp\":\"127.0.0.1\",\"tcpPort\":"
                     + p + R"(,"connectionType":"tcp","isConnected":true}})");
        QCOMPARE(orvo.ajax("func=disconnect"), QByteArray(R"({"ok":"Disconnected"})"));
        QVERIFY(orvo.ajax("func=getPortSettings").endsWith("\"connectionType\":\"tcp\",\"isConnected\":false}}"));

        // "Serial" is not "serial": taken as TCP, which lacks its address.
        QCOMPARE(orvo.ajax("func=connect&connType=Serial&portSelect=x&slaveID=1&baudRate=3&mode=3&timeout=1"),
                 QByteArray(R"({"error":"Input parameters error!"})"));
        QCOMPARE(orvo.stop(), 0);
    }

    // A probe that gets no answer holds the Modbus lock for its whole wait;
    // pages and files are still served meanwhile.
    void probeWithoutAnswer()
    {
        FullBacklogListener blackhole;
        OrvoInstance orvo;
        QVERIFY(orvo.start());

        std::atomic<bool> done{false};
        QByteArray reply;
        std::thread probe([&] {
            reply = orvo.ajax("func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=1&timeout=4000&port_tcp="
                              + QByteArray::number(blackhole.port));
            done = true;
        });
        QTest::qWait(300);
        auto client = orvo.client(10);
        const auto page = client->Get("/");
        const bool answeredWhileProbing = !done;
        probe.join();
        QVERIFY(page);
        QCOMPARE(page->status, 200);
        QVERIFY(answeredWhileProbing);
        QCOMPARE(reply, QByteArray(R"({"error":"Could not connect to Modbus TCP!"})"));

        // Nothing listens: refused at once, the attempt's settings kept.
        const int closed = freeLoopbackPort();
        QCOMPARE(orvo.ajax("func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=7&timeout=1000&port_tcp="
                           + QByteArray::number(closed)),
                 QByteArray(R"({"error":"Could not connect to Modbus TCP!"})"));
        QCOMPARE(userSettingsOf(orvo.ajax("func=getPortSettings")),
                 "\"userSettings\":{\"port\":\"0\",\"slaveID\":7,\"baudRate\":0,\"mode\":3,\"timeout\":1000,\"tcpIp\":\"127.0.0.1\",\"tcpPort\":"
                     + QByteArray::number(closed) + R"(,"connectionType":"serial","isConnected":false}})");
        QCOMPARE(orvo.stop(), 0);
    }

private:
    QTemporaryDir dir;
    PtyPair pty;
};

QTEST_GUILESS_MAIN(TestModbusConnHttp)
#include "tst_modbus_conn_http.moc"
