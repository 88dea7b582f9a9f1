// Reading, writing and identification through HTTP against the real binary,
// over Modbus TCP: the scriptable slave, pymodbus as a second slave, and
// mbpoll as a second master.

#include "modbus_regs_support.h"
#include "support/orvoinstance.h"

#include <modbus.h>

#include <QSettings>
#include <QTest>

Q_DECLARE_METATYPE(QList<SlaveRequest>)

namespace {

const QByteArray notConnected = R"({"error":"Not connected"})";
const QByteArray inputError = R"({"error":"Input parameters error!"})";
const QByteArray valuesError = R"({"error":"Registers values error!"})";
const QByteArray sent = R"({"ok":"Values successfully sent."})";
const QByteArray noReply = R"({"error":"I/O error: did not receive any data from slave."})";

QByteArray protocolError(int errnum)
{
    return QByteArray(R"({"error":"Protocol error! )") + modbus_strerror(errnum) + R"("})";
}

} // namespace

class TestModbusRegsTcp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void beforeConnect();
    void readParameterErrors_data();
    void readParameterErrors();
    void writeParameterErrors_data();
    void writeParameterErrors();
    void readFormats_data();
    void readFormats();
    void writeAndReadBack_data();
    void writeAndReadBack();
    void longRunsAreSplitIntoFrames_data();
    void longRunsAreSplitIntoFrames();
    void retriesPerFault_data();
    void retriesPerFault();
    void identify_data();
    void identify();
    void failedIdentifyKeepsStoredId();
    void slaveRestartOrAbsence();
    void mbpollReadsWhatOrvoWrote_data();
    void mbpollReadsWhatOrvoWrote();
    void orvoReadsWhatMbpollWrote_data();
    void orvoReadsWhatMbpollWrote();
    void pymodbusPeer();

private:
    QByteArray connectTo(int port);
    QByteArray storedBraskId();

    OrvoInstance orvo;
    ModbusSlave slave;
    int slavePort = 0;
};

QByteArray TestModbusRegsTcp::connectTo(int port)
{
    return orvo.ajax("func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=1&timeout=2000&port_tcp="
                     + QByteArray::number(port));
}

QByteArray TestModbusRegsTcp::storedBraskId()
{
    QSettings store(orvo.configHome() + QStringLiteral("/Brask/Orvo.conf"), QSettings::IniFormat);
    return store.value(QStringLiteral("Brask_ID")).toByteArray();
}

void TestModbusRegsTcp::initTestCase()
{
    QVERIFY(slave.startTcp({QStringLiteral("--slave"), QStringLiteral("1"), QStringLiteral("--range32"),
                            QStringLiteral("5000:1000")}));
    slavePort = slave.tcpPort();
    // A user locale that writes "3,14": numbers on the wire must not follow it.
    orvo.setEnv(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    QVERIFY(orvo.start());
}

void TestModbusRegsTcp::init()
{
    if (QByteArray(QTest::currentTestFunction()) == "beforeConnect")
        return;
    QCOMPARE(connectTo(slavePort), QByteArray(R"({"ok":"Connected with Modbus TCP."})"));
    QCOMPARE(slave.command("clear"), QByteArray("OK"));
    QCOMPARE(slave.command("clearlog"), QByteArray("OK"));
}

void TestModbusRegsTcp::beforeConnect()
{
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=0&valuesCnt=1"), notConnected);
    QCOMPARE(orvo.ajax("func=writeRegisters&regAddr=0&valuesCnt=1&regVals=[1]"), notConnected);
    QCOMPARE(orvo.ajax("func=identifySlave"), notConnected);
}

void TestModbusRegsTcp::readParameterErrors_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray regSize = R"({"error":"Invalid registers size!"})";
    const QByteArray valSize = R"({"error":"Invalid value size!"})";
    const QByteArray precision = R"({"error":"Invalid float precision!"})";
    const QByteArray oneValue = R"({"error":"Invalid one value size!"})";
    const QByteArray tooMany = R"({"error":"Too many registers"})";
    QTest::newRow("nothing") << QByteArray("") << inputError;
    QTest::newRow("no valuesCnt") << QByteArray("regAddr=0&regSize=8") << inputError;
    QTest::newRow("valuesCnt 0") << QByteArray("regAddr=0&valuesCnt=0") << inputError;
    QTest::newRow("valuesCnt negative") << QByteArray("regAddr=0&valuesCnt=-3") << inputError;
    QTest::newRow("valuesCnt not a number") << QByteArray("regAddr=0&valuesCnt=two") << inputError;
    QTest::newRow("regSize before valSize") << QByteArray("regAddr=0&valuesCnt=1&regSize=8&valSize=8") << regSize;
    QTest::newRow("valSize before precision") << QByteArray("regAddr=0&valuesCnt=1&valSize=8&floatPrec=99") << valSize;
    QTest::newRow("floatPrec 21") << QByteArray("regAddr=0&valuesCnt=1&floatPrec=21") << precision;
    QTest::newRow("floatPrec -1") << QByteArray("regAddr=0&valuesCnt=1&floatPrec=-1") << precision;
    QTest::newRow("regSize 32 without valSize") << QByteArray("regAddr=0&valuesCnt=1&regSize=32") << oneValue;
    QTest::newRow("one value size before count") << QByteArray("regAddr=0&valuesCnt=201&regSize=32&valSize=16") << oneValue;
    QTest::newRow("201 values") << QByteArray("regAddr=0&valuesCnt=201") << tooMany;
    // A run of several frames must not wrap round to register 0.
    QTest::newRow("split run past the last address") << QByteArray("regAddr=65500&valuesCnt=200") << inputError;
    QTest::newRow("split run from a negative address") << QByteArray("regAddr=-1&valuesCnt=63&regSize=32&valSize=32") << inputError;
}

void TestModbusRegsTcp::readParameterErrors()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QCOMPARE(orvo.ajax("func=readRegisters&" + query), reply);
    QCOMPARE(slaveLog(slave).size(), 0);
}

void TestModbusRegsTcp::writeParameterErrors_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("no regVals") << QByteArray("regAddr=0&valuesCnt=1") << inputError;
    QTest::newRow("valuesCnt 0") << QByteArray("regAddr=0&valuesCnt=0&regVals=[]") << inputError;
    QTest::newRow("regSize first") << QByteArray("regAddr=0&valuesCnt=1&regSize=24&regVals=x") << QByteArray(R"({"error":"Invalid registers size!"})");
    QTest::newRow("regSize 32 without valSize, before the values") << QByteArray("regAddr=0&valuesCnt=1&regSize=32&regVals=x") << QByteArray(R"({"error":"Invalid one value size!"})");
    QTest::newRow("32-bit values of a 16-bit type") << QByteArray("regAddr=0&valuesCnt=1&regType=word&valSize=32&regVals=[1]") << QByteArray(R"({"error":"Invalid value size!"})");
    QTest::newRow("201 values") << QByteArray("regAddr=0&valuesCnt=201&regVals=[1]") << QByteArray(R"({"error":"Too many registers"})");
    QTest::newRow("split run past the last address") << QByteArray("regAddr=65400&valuesCnt=70&valSize=32&regVals=[1]") << inputError;
    QTest::newRow("a number, not an array") << QByteArray("regAddr=0&valuesCnt=1&regVals=5") << valuesError;
    QTest::newRow("too few elements") << QByteArray("regAddr=0&valuesCnt=3&regVals=[1,2]") << valuesError;
    QTest::newRow("too many elements") << QByteArray("regAddr=0&valuesCnt=1&regVals=[1,2]") << valuesError;
    QTest::newRow("bare words") << QByteArray("regAddr=0&valuesCnt=1&regVals=[abc]") << valuesError;
    QTest::newRow("unterminated") << QByteArray("regAddr=0&valuesCnt=2&regVals=[1,2") << valuesError;
    QTest::newRow("an object") << QByteArray("regAddr=0&valuesCnt=1&regVals=%7B%22a%22%3A1%7D") << valuesError;
    QTest::newRow("empty") << QByteArray("regAddr=0&valuesCnt=1&regVals=") << valuesError;
    QTest::newRow("script, not data") << QByteArray("regAddr=0&valuesCnt=1&regVals=%5B(function()%7Bwhile(1)%3B%7D)()%5D") << valuesError;
}

void TestModbusRegsTcp::writeParameterErrors()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QCOMPARE(orvo.ajax("func=writeRegisters&" + query), reply);
    QCOMPARE(slaveLog(slave).size(), 0);
}

void TestModbusRegsTcp::readFormats_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("int, default width") << QByteArray("set 100 1 2 3 65535") << QByteArray("regAddr=100&valuesCnt=4") << QByteArray("[1,2,3,-1]");
    QTest::newRow("uint, default width") << QByteArray("set 100 65535") << QByteArray("regAddr=100&valuesCnt=1&regType=uint") << QByteArray("[65535]");
    QTest::newRow("float4321 over 16-bit") << QByteArray("set 110 0x4049 0x0FDB") << QByteArray("regAddr=110&valuesCnt=1&regType=float4321&valSize=32") << QByteArray("[3.14159]");
    QTest::newRow("float1234 over 16-bit") << QByteArray("set 110 0x0FDB 0x4049") << QByteArray("regAddr=110&valuesCnt=1&regType=float1234&valSize=32") << QByteArray("[3.14]");
    QTest::newRow("1e8") << QByteArray("set 110 0x4CBE 0xBC20") << QByteArray("regAddr=110&valuesCnt=1&regType=float4321&valSize=32") << QByteArray("[100000000.00]");
    QTest::newRow("floatPrec 0") << QByteArray("set 110 0x0FDB 0x4049") << QByteArray("regAddr=110&valuesCnt=1&regType=float1234&floatPrec=0") << QByteArray("[3]");
    QTest::newRow("NaN") << QByteArray("set 110 0x7FC0 0") << QByteArray("regAddr=110&valuesCnt=1&regType=float4321") << QByteArray("[null]");
    QTest::newRow("long") << QByteArray("set 120 1 0") << QByteArray("regAddr=120&valuesCnt=1&regType=long&valSize=32") << QByteArray("[65536]");
    QTest::newRow("int 32 over 16-bit") << QByteArray("set 120 0 1") << QByteArray("regAddr=120&valuesCnt=1&valSize=32") << QByteArray("[65536]");
    QTest::newRow("int over 32-bit") << QByteArray("set32 5000 4294967295 7") << QByteArray("regAddr=5000&valuesCnt=2&regSize=32&valSize=32") << QByteArray("[-1,7]");
    QTest::newRow("float1234 over 32-bit") << QByteArray("set32 5000 0x0FDB4049") << QByteArray("regAddr=5000&valuesCnt=1&regType=float1234&regSize=32&valSize=32") << QByteArray("[3.14159]");
    QTest::newRow("float4321 over 32-bit") << QByteArray("set32 5000 0x40490FDB") << QByteArray("regAddr=5000&valuesCnt=1&regType=float4321&regSize=32&valSize=32&floatPrec=4") << QByteArray("[3.1416]");
    QTest::newRow("type names are case-sensitive") << QByteArray("set 110 0x4049 0x0FDB") << QByteArray("regAddr=110&valuesCnt=1&regType=FLOAT4321") << QByteArray("[16457]");
    QTest::newRow("split run up to the last address") << QByteArray("set 65535 9") << QByteArray("regAddr=65336&valuesCnt=200")
                                                     << QByteArray("[") + QByteArray("0,").repeated(199) + "9]";
    QTest::newRow("the request's slaveID is ignored") << QByteArray("set 100 9") << QByteArray("regAddr=100&valuesCnt=1&slaveID=7") << QByteArray("[9]");
}

void TestModbusRegsTcp::readFormats()
{
    QFETCH(QByteArray, setup);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QCOMPARE(slave.command(setup), QByteArray("OK"));
    QCOMPARE(orvo.ajax("func=readRegisters&" + query), reply);
}

void TestModbusRegsTcp::writeAndReadBack_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("check");
    QTest::addColumn<QList<qint64>>("registers");
    QTest::addColumn<QByteArray>("readBack");

    using L = QList<qint64>;
    QTest::newRow("int, low 16 bits") << QByteArray("regAddr=200&valuesCnt=2&regVals=[-1,70000]") << QByteArray("get 200 2") << L{65535, 0x1170} << QByteArray("[-1,4464]");
    QTest::newRow("twice percent-encoded") << QByteArray("regAddr=200&valuesCnt=2&regVals=%255B10%252C20%255D") << QByteArray("get 200 2") << L{10, 20} << QByteArray("[10,20]");
    QTest::newRow("once percent-encoded") << QByteArray("regAddr=200&valuesCnt=2&regVals=%5B10%2C20%5D") << QByteArray("get 200 2") << L{10, 20} << QByteArray("[10,20]");
    QTest::newRow("uint 32 over 16-bit") << QByteArray("regAddr=200&valuesCnt=2&regType=uint&valSize=32&regVals=[4294967295,65536]") << QByteArray("get 200 4") << L{65535, 65535, 0, 1} << QByteArray("[4294967295,65536]");
    QTest::newRow("float4321 over 16-bit") << QByteArray("regAddr=200&valuesCnt=1&regType=float4321&valSize=32&regVals=[3.14159274]") << QByteArray("get 200 2") << L{0x4049, 0x0FDB} << QByteArray("[3.14159]");
    QTest::newRow("float1234 over 16-bit") << QByteArray("regAddr=200&valuesCnt=1&regType=float1234&valSize=32&regVals=[3.14159274]") << QByteArray("get 200 2") << L{0x0FDB, 0x4049} << QByteArray("[3.14]");
    QTest::newRow("float with valSize 16 takes a pair") << QByteArray("regAddr=200&valuesCnt=2&regType=float4321&regVals=[1,2]") << QByteArray("get 200 4") << L{0x3F80, 0, 0x4000, 0} << QByteArray("[1,2]");
    QTest::newRow("a word under a float type") << QByteArray("regAddr=200&valuesCnt=1&regType=float4321&valSize=32&regVals=[%22word%22]") << QByteArray("get 200 2") << L{0, 0} << QByteArray("[0]");
    QTest::newRow("long, high half first") << QByteArray("regAddr=200&valuesCnt=1&regType=long&valSize=32&regVals=[65536]") << QByteArray("get 200 2") << L{1, 0} << QByteArray("[65536]");
    QTest::newRow("integer conversions of elements") << QByteArray("regAddr=200&valuesCnt=5&regVals=[%22%200x10%20%22,%221e3%22,true,null,-3.9]") << QByteArray("get 200 5") << L{16, 1000, 1, 0, 65533} << QByteArray("[16,1000,1,0,-3]");
    QTest::newRow("int over 32-bit") << QByteArray("regAddr=5010&valuesCnt=2&regSize=32&valSize=32&regVals=[-2,4294967297]") << QByteArray("get32 5010 2") << L{0xFFFFFFFE, 1} << QByteArray("[-2,1]");
    QTest::newRow("float1234 over 32-bit") << QByteArray("regAddr=5010&valuesCnt=1&regType=float1234&regSize=32&valSize=32&regVals=[3.14159274]") << QByteArray("get32 5010 1") << L{0x0FDB4049} << QByteArray("[3.14159]");
}

void TestModbusRegsTcp::writeAndReadBack()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, check);
    QFETCH(QList<qint64>, registers);
    QFETCH(QByteArray, readBack);

    QCOMPARE(orvo.ajax("func=writeRegisters&" + query), sent);
    QCOMPARE(slaveRegisters(slave, check), registers);
    // The same layout read back, without regVals.
    QString readQuery = QString::fromUtf8(query);
    readQuery.remove(QRegularExpression(QStringLiteral("&regVals=[^&]*")));
    QCOMPARE(orvo.ajax("func=readRegisters&" + readQuery.toUtf8()), readBack);
}

void TestModbusRegsTcp::longRunsAreSplitIntoFrames_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QList<SlaveRequest>>("frames");

    using L = QList<SlaveRequest>;
    QTest::newRow("read 200 words") << QByteArray("func=readRegisters&regAddr=1000&valuesCnt=200")
                                    << L{{3, 1000, 125}, {3, 1125, 75}};
    QTest::newRow("read 200 pairs: no pair cut in two") << QByteArray("func=readRegisters&regAddr=1000&valuesCnt=200&valSize=32")
                                    << L{{3, 1000, 124}, {3, 1124, 124}, {3, 1248, 124}, {3, 1372, 28}};
    QTest::newRow("read 200 32-bit registers") << QByteArray("func=readRegisters&regAddr=5000&valuesCnt=200&regSize=32&valSize=32")
                                    << L{{3, 5000, 62}, {3, 5062, 62}, {3, 5124, 62}, {3, 5186, 14}};
    QTest::newRow("write 200 words") << QByteArray("func=writeRegisters&regAddr=1000&valuesCnt=200&regVals=") + "[" + QByteArray("7,").repeated(199) + "7]"
                                    << L{{16, 1000, 123}, {16, 1123, 77}};
    QTest::newRow("write 200 pairs") << QByteArray("func=writeRegisters&regAddr=1000&valuesCnt=200&valSize=32&regVals=") + "[" + QByteArray("7,").repeated(199) + "7]"
                                    << L{{16, 1000, 122}, {16, 1122, 122}, {16, 1244, 122}, {16, 1366, 34}};
    QTest::newRow("write 200 32-bit registers") << QByteArray("func=writeRegisters&regAddr=5000&valuesCnt=200&regSize=32&valSize=32&regVals=") + "[" + QByteArray("7,").repeated(199) + "7]"
                                    << L{{16, 5000, 61}, {16, 5061, 61}, {16, 5122, 61}, {16, 5183, 17}};
}

void TestModbusRegsTcp::longRunsAreSplitIntoFrames()
{
    QFETCH(QByteArray, query);
    QFETCH(QList<SlaveRequest>, frames);

    // Values that tell every register apart, so a shifted frame shows.
    QByteArray words = "set 1000";
    QByteArray wide = "set32 5000";
    for (int i = 0; i < 400; ++i) {
        words += ' ' + QByteArray::number(i);
        wide += ' ' + QByteArray::number(100000 + i);
    }
    QCOMPARE(slave.command(words), QByteArray("OK"));
    QCOMPARE(slave.command(wide), QByteArray("OK"));
    QCOMPARE(slave.command("clearlog"), QByteArray("OK"));

    const QByteArray reply = orvo.ajax(query);
    QCOMPARE(slaveLog(slave), frames);
    const QJsonArray values = QJsonDocument::fromJson(reply).array();
    if (query.contains("writeRegisters")) {
        QCOMPARE(reply, sent);
        const QList<qint64> got = slaveRegisters(slave, query.contains("regSize=32") ? "get32 5000 200" : "get 1000 400");
        const int filled = query.contains("valSize=32") && !query.contains("regSize=32") ? 400 : 200;
        for (int i = 0; i < filled; ++i)
            QCOMPARE(got.value(i), (query.contains("valSize=32") && !query.contains("regSize=32") && i % 2) ? 0 : 7);
        return;
    }
    QCOMPARE(values.size(), 200);
    for (int i = 0; i < 200; ++i) {
        const qint64 expected = query.contains("regSize=32") ? 100000 + i
                              : query.contains("valSize=32") ? (qint64(2 * i + 1) << 16) + 2 * i
                                                             : i;
        QCOMPARE(qint64(values.at(i).toDouble()), expected);
    }
}

void TestModbusRegsTcp::retriesPerFault_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("requests");

    const QByteArray read = "func=readRegisters&regAddr=300&valuesCnt=2";
    const QByteArray write = "func=writeRegisters&regAddr=300&valuesCnt=2&regVals=[5,6]";
    const QByteArray identify = "func=identifySlave";
    const QByteArray illegalAddress = protocolError(MODBUS_ENOBASE + MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    QTest::newRow("read, exception every time") << QByteArray("exception 2") << read << illegalAddress << 4;
    QTest::newRow("write, exception every time") << QByteArray("exception 2") << write << illegalAddress << 4;
    QTest::newRow("identify, exception every time") << QByteArray("exception 2") << identify << illegalAddress << 4;
    QTest::newRow("read, never answering") << QByteArray("silence") << read << noReply << 1;
    QTest::newRow("write, never answering") << QByteArray("silence") << write << noReply << 1;
    QTest::newRow("identify, never answering") << QByteArray("silence") << identify << noReply << 1;
    QTest::newRow("read, one exception") << QByteArray("exception 4 1") << read << QByteArray("[5,6]") << 2;
    QTest::newRow("write, one exception") << QByteArray("exception 4 1") << write << sent << 2;
    QTest::newRow("read, link dropped once") << QByteArray("drop 1") << read << QByteArray("[5,6]") << 2;
    QTest::newRow("identify, link dropped once") << QByteArray("drop 1") << identify << QByteArray(R"({"id":17,"desc":"Orvo test slave","descArray":[17,255,79,114,118,111,32,116,101,115,116,32,115,108,97,118,101]})") << 2;
    QTest::newRow("read, short replies") << QByteArray("badcount") << read << protocolError(EMBBADDATA) << 4;
    QTest::newRow("write, wrong echo") << QByteArray("badecho") << write << protocolError(EMBBADDATA) << 4;
}

void TestModbusRegsTcp::retriesPerFault()
{
    QFETCH(QByteArray, fault);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QFETCH(int, requests);

    QCOMPARE(slave.command("set 300 5 6"), QByteArray("OK"));
    QCOMPARE(slave.command(fault), QByteArray("OK"));
    QCOMPARE(orvo.ajax(query), reply);
    QCOMPARE(slaveLog(slave).size(), requests);
}

void TestModbusRegsTcp::identify_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("braskId");

    QTest::newRow("printable description") << QByteArray("11FF414243") << QByteArray(R"({"id":17,"desc":"ABC","descArray":[17,255,65,66,67]})") << QByteArray("17");
    QTest::newRow("no description") << QByteArray("0100") << QByteArray(R"({"id":1,"desc":"","descArray":[1,0]})") << QByteArray("1");
    QTest::newRow("escaped and left out") << QByteArray("C8FF222F5C7E0A7D201F41")
        << QByteArray(R"({"id":200,"desc":"\"\/\\} A","descArray":[200,255,34,47,92,126,10,125,32,31,65]})") << QByteArray("200");
    QTest::newRow("one byte") << QByteArray("07") << QByteArray(R"({"id":7,"desc":"","descArray":[7]})") << QByteArray("7");
}

void TestModbusRegsTcp::identify()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, braskId);

    QCOMPARE(slave.command("reportid " + bytes), QByteArray("OK"));
    const QByteArray answer = orvo.ajax("func=identifySlave");
    QCOMPARE(answer, reply);
    QVERIFY(QJsonDocument::fromJson(answer).isObject());
    QCOMPARE(storedBraskId(), braskId);
}

void TestModbusRegsTcp::failedIdentifyKeepsStoredId()
{
    QCOMPARE(slave.command("reportid 2AFF"), QByteArray("OK"));
    QCOMPARE(orvo.ajax("func=identifySlave"), QByteArray(R"({"id":42,"desc":"","descArray":[42,255]})"));
    QCOMPARE(storedBraskId(), QByteArray("42"));

    // An empty report is retried like any other failure, then given up.
    QCOMPARE(slave.command("reportid"), QByteArray("OK"));
    QCOMPARE(slave.command("clearlog"), QByteArray("OK"));
    QCOMPARE(orvo.ajax("func=identifySlave"), QByteArray(R"({"error":"Unknown error!"})"));
    QCOMPARE(slaveLog(slave).size(), 4);
    QCOMPARE(storedBraskId(), QByteArray("42"));

    QCOMPARE(slave.command("exception 1"), QByteArray("OK"));
    QCOMPARE(orvo.ajax("func=identifySlave"), protocolError(MODBUS_ENOBASE + MODBUS_EXCEPTION_ILLEGAL_FUNCTION));
    QCOMPARE(storedBraskId(), QByteArray("42"));
    QCOMPARE(slave.command("reportid 11FF"), QByteArray("OK"));
}

void TestModbusRegsTcp::slaveRestartOrAbsence()
{
    QCOMPARE(slave.command("set 300 1 2"), QByteArray("OK"));
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=300&valuesCnt=2"), QByteArray("[1,2]"));

    // Gone: each operation probes the port first.
    slave.stop();
    const QByteArray noSocket = R"({"error":"Unable to connect with TCP socket."})";
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=300&valuesCnt=2"), noSocket);
    QCOMPARE(orvo.ajax("func=writeRegisters&regAddr=300&valuesCnt=1&regVals=[1]"), noSocket);
    QCOMPARE(orvo.ajax("func=identifySlave"), noSocket);

    // Back on the same port with other contents: the next request sees them.
    QVERIFY(slave.startTcp({QStringLiteral("--tcp"), QString::number(slavePort), QStringLiteral("--slave"),
                            QStringLiteral("1"), QStringLiteral("--range32"), QStringLiteral("5000:1000"),
                            QStringLiteral("--reg"), QStringLiteral("300=3,4")}));
    QCOMPARE(slave.tcpPort(), slavePort);
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=300&valuesCnt=2"), QByteArray("[3,4]"));
    QCOMPARE(orvo.ajax("func=writeRegisters&regAddr=300&valuesCnt=1&regVals=[9]"), sent);
    QCOMPARE(slaveRegisters(slave, "get 300 1"), QList<qint64>{9});
}

void TestModbusRegsTcp::mbpollReadsWhatOrvoWrote_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QStringList>("mbpollArgs");
    QTest::addColumn<QStringList>("values");

    QTest::newRow("16-bit") << QByteArray("regAddr=400&valuesCnt=3&regVals=[1,-2,300]")
                            << QStringList{"-t", "4", "-r", "400", "-c", "3"} << QStringList{"1", "65534", "300"};
    QTest::newRow("int 32, low word first") << QByteArray("regAddr=400&valuesCnt=2&valSize=32&regVals=[-100000,70000]")
                            << QStringList{"-t", "4:int", "-r", "400", "-c", "2"} << QStringList{"-100000", "70000"};
    QTest::newRow("float4321, high word first") << QByteArray("regAddr=400&valuesCnt=2&regType=float4321&valSize=32&regVals=[3.5,-0.25]")
                            << QStringList{"-t", "4:float", "-B", "-r", "400", "-c", "2"} << QStringList{"3.5", "-0.25"};
    QTest::newRow("float1234, low word first") << QByteArray("regAddr=400&valuesCnt=1&regType=float1234&valSize=32&regVals=[%22-1.5%22]")
                            << QStringList{"-t", "4:float", "-r", "400", "-c", "1"} << QStringList{"-1.5"};
}

void TestModbusRegsTcp::mbpollReadsWhatOrvoWrote()
{
    QFETCH(QByteArray, query);
    QFETCH(QStringList, mbpollArgs);
    QFETCH(QStringList, values);

    QCOMPARE(orvo.ajax("func=writeRegisters&" + query), sent);
    bool ok = false;
    QCOMPARE(runMbpoll(slavePort, mbpollArgs + QStringList{"-a", "1", "127.0.0.1"}, &ok), values);
    QVERIFY(ok);
}

void TestModbusRegsTcp::orvoReadsWhatMbpollWrote_data()
{
    QTest::addColumn<QStringList>("mbpollArgs");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("16-bit") << QStringList{"-t", "4", "-r", "420", "127.0.0.1", "1", "2", "65535"}
                            << QByteArray("regAddr=420&valuesCnt=3") << QByteArray("[1,2,-1]");
    QTest::newRow("int 32") << QStringList{"-t", "4:int", "-r", "420", "127.0.0.1", "--", "-5", "123456"}
                            << QByteArray("regAddr=420&valuesCnt=2&valSize=32") << QByteArray("[-5,123456]");
    QTest::newRow("float, big-endian words") << QStringList{"-t", "4:float", "-B", "-r", "420", "127.0.0.1", "2.5"}
                            << QByteArray("regAddr=420&valuesCnt=1&regType=float4321&valSize=32") << QByteArray("[2.5]");
    QTest::newRow("float, little-endian words") << QStringList{"-t", "4:float", "-r", "420", "127.0.0.1", "--", "-0.125"}
                            << QByteArray("regAddr=420&valuesCnt=1&regType=float1234&valSize=32&floatPrec=3") << QByteArray("[-0.125]");
}

void TestModbusRegsTcp::orvoReadsWhatMbpollWrote()
{
    QFETCH(QStringList, mbpollArgs);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);

    bool ok = false;
    runMbpoll(slavePort, QStringList{"-a", "1"} + mbpollArgs, &ok);
    QVERIFY(ok);
    QCOMPARE(orvo.ajax("func=readRegisters&" + query), reply);
}

void TestModbusRegsTcp::pymodbusPeer()
{
    FixtureProcess peer;
    const QString ready = peer.startPython(QStringLiteral("pymodbus_slave.py"),
                                           {QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--reg"),
                                            QStringLiteral("100=0x4049,0x0FDB,0xFFFF,1,0")},
                                           QStringLiteral("READY"), 20000);
    const int port = ready.section(QLatin1Char(':'), -1).trimmed().toInt();
    QVERIFY2(port > 0, qPrintable(ready));
    QCOMPARE(connectTo(port), QByteArray(R"({"ok":"Connected with Modbus TCP."})"));

    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=100&valuesCnt=1&regType=float4321&valSize=32"), QByteArray("[3.14159]"));
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=102&valuesCnt=1"), QByteArray("[-1]"));
    QCOMPARE(orvo.ajax("func=readRegisters&regAddr=103&valuesCnt=1&regType=long&valSize=32"), QByteArray("[65536]"));

    // A long run, split into frames, written to one slave and read by another master.
    QByteArray values = "[";
    for (int i = 0; i < 200; ++i)
        values += QByteArray::number(-i * 1000) + (i < 199 ? "," : "]");
    QCOMPARE(orvo.ajax("func=writeRegisters&regAddr=1000&valuesCnt=200&valSize=32&regVals=" + values), sent);
    bool ok = false;
    const QStringList last = runMbpoll(port, {"-a", "1", "-t", "4:int", "-r", "1396", "-c", "2", "127.0.0.1"}, &ok);
    QVERIFY(ok);
    QCOMPARE(last, (QStringList{"-198000", "-199000"}));
    const QByteArray readBack = orvo.ajax("func=readRegisters&regAddr=1000&valuesCnt=200&valSize=32");
    QCOMPARE(readBack, values);

    // pymodbus reports no slave-id byte of its own: whatever comes first is
    // taken as the id, and the reply stays well-formed.
    const QJsonObject id = QJsonDocument::fromJson(orvo.ajax("func=identifySlave")).object();
    QVERIFY(id.contains(QLatin1String("id")));
    QVERIFY(id.value(QLatin1String("descArray")).isArray());
}

QTEST_GUILESS_MAIN(TestModbusRegsTcp)
#include "tst_modbus_regs_tcp.moc"
