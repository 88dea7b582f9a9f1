// Faults of the world around the program (slaves that misbehave or vanish,
// update servers and mail servers that break off, a full disk, clients that
// never finish their requests) against the real binary. After each fault the
// program must still serve pages and Modbus reads, and nothing may be lost or
// half-installed.

#include "fixtures/modbus_slave.h"
#include "smtpsserver.h"
#include "support/orvoinstance.h"

#include <modbus.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const QByteArray noReply = R"({"error":"I/O error: did not receive any data from slave."})";
const QByteArray noSocket = R"({"error":"Unable to connect with TCP socket."})";
const QByteArray replyError = R"({"error":"Reply error!"})";
const QByteArray diskError = R"({"error":"Unable to write to disk!"})";
const QByteArray completed = R"({"ok":"Completed correctly."})";
const QByteArray inProgress = R"({"ok":"In progress"})";
const QByteArray testPage = "<!doctype html><title>Orvo</title><p>Orvo test page</p>\n";

QByteArray protocolError(int errnum)
{
    return QByteArray(R"({"error":"Protocol error! )") + modbus_strerror(errnum) + R"("})";
}

// Every reply a register read may give: an array of `count` numbers, or one
// of the error texts the engine writes.
bool isWrittenReadReply(const QByteArray &reply, int count)
{
    if (reply.startsWith('[')) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(reply, &error);
        if (error.error != QJsonParseError::NoError || !doc.isArray() || doc.array().size() != count)
            return false;
        for (const QJsonValue &v : doc.array())
            if (!v.isDouble())
                return false;
        return true;
    }
    static const QSet<QByteArray> known = [] {
        QSet<QByteArray> texts{noReply, noSocket, R"({"error":"Not connected"})",
                               R"({"error":"Number of registers returned does not match!"})"};
        for (int e = 1; e < 200; ++e)
            texts.insert(protocolError(e));
        for (int e = MODBUS_ENOBASE; e < MODBUS_ENOBASE + 20; ++e)
            texts.insert(protocolError(e));
        return texts;
    }();
    return known.contains(reply);
}

QByteArray twiceEncoded(const QByteArray &value)
{
    return QUrl::toPercentEncoding(QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(value))));
}

// Every file below `root` with its contents, and every folder (as "name/").
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString name = QDir(root).relativeFilePath(it.filePath());
        if (it.fileInfo().isDir()) {
            tree.insert(name + QLatin1Char('/'), QByteArray());
        } else {
            QFile f(it.filePath());
            tree.insert(name, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>"));
        }
    }
    return tree;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

// What the update server's generated files hold: byte i is i % 251.
QByteArray pattern(int length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

QByteArray waitForUpdateEnd(OrvoInstance &orvo)
{
    QByteArray status;
    QDeadlineTimer deadline(60000);
    do {
        QTest::qWait(50);
        status = orvo.ajax("func=getUpdateStatus");
    } while (status == inProgress && !deadline.hasExpired());
    return status;
}

// A self-signed certificate for a TLS fixture on 127.0.0.1.
bool makeCertificate(const QString &cert, const QString &key)
{
    return QProcess::execute(QStringLiteral("openssl"),
                             {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                              QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                              QStringLiteral("-nodes"), QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert,
                              QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                              QStringLiteral("/CN=127.0.0.1")})
           == 0;
}

// A small tmpfs mounted on a temporary folder for as long as the object lives.
class SmallDisk
{
public:
    bool mount(int kilobytes)
    {
        if (::geteuid() != 0 || !dir.isValid())
            return false;
        mounted = QProcess::execute(QStringLiteral("mount"),
                                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                     QStringLiteral("size=%1k").arg(kilobytes), QStringLiteral("tmpfs"), dir.path()})
                  == 0;
        return mounted;
    }
    ~SmallDisk()
    {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {dir.path()});
    }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    bool mounted = false;
};

// Connections that send the start of a request line and then nothing more.
class StalledClients
{
public:
    int open(int port, int count)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (fd < 0)
                break;
            if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
                ::close(fd);
                break;
            }
            static const char partial[] = "GET /index.html HT";
            if (::send(fd, partial, sizeof partial - 1, MSG_NOSIGNAL) < 0) {
                ::close(fd);
                break;
            }
            fds.push_back(fd);
        }
        return static_cast<int>(fds.size());
    }
    ~StalledClients()
    {
        for (int fd : fds)
            ::close(fd);
    }

private:
    std::vector<int> fds;
};

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void tcpSlaveFaults_data();
    void tcpSlaveFaults();
    void pollingWhileSlaveRestarts();
    void serialLineGoneAndBack();
    void updateServerDropsMidFile();
    void stagingDiskFull();
    void smtpServerVanishesMidSend();
    void stalledClientsDoNotStarveOthers();

private:
    QByteArray connectTcp(OrvoInstance &instance);
    void verifyServing(OrvoInstance &instance, bool reconnect);
    bool startSlave();
    bool startUpdateServer();
    void configureUpdates(const QByteArray &json);

    ModbusSlave slave;
    int slavePort = 0;
    OrvoInstance orvo;
    FixtureProcess updateServer;
    int updatePort = 0;
};

bool TestFaults::startSlave()
{
    // The same registers after every restart.
    return slave.startTcp({QStringLiteral("--tcp"), QString::number(slavePort), QStringLiteral("--slave"),
                           QStringLiteral("1"), QStringLiteral("--reg"), QStringLiteral("300=5,6")});
}

void TestFaults::initTestCase()
{
    QVERIFY(startSlave());
    slavePort = slave.tcpPort();
    QVERIFY(orvo.start({QStringLiteral("-r")}));
}

void TestFaults::init()
{
    QCOMPARE(slave.command("clear"), QByteArray("OK"));
    QCOMPARE(slave.command("clearlog"), QByteArray("OK"));
}

QByteArray TestFaults::connectTcp(OrvoInstance &instance)
{
    return instance.ajax("func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=1&timeout=2000&port_tcp="
                         + QByteArray::number(slavePort));
}

// A static page and a register read answer correctly.
void TestFaults::verifyServing(OrvoInstance &instance, bool reconnect)
{
    auto client = instance.client(20);
    const auto page = client->Get("/index.html");
    QVERIFY2(page, "no answer for a static page");
    QCOMPARE(page->status, 200);
    QCOMPARE(QByteArray::fromStdString(page->body), testPage);
    if (reconnect)
        QCOMPARE(connectTcp(instance), QByteArray(R"({"ok":"Connected with Modbus TCP."})"));
    QCOMPARE(instance.ajax("func=readRegisters&regAddr=300&valuesCnt=2"), QByteArray("[5,6]"));
}

void TestFaults::tcpSlaveFaults_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("requests");

    const QByteArray read = "func=readRegisters&regAddr=300&valuesCnt=2";
    const QByteArray write = "func=writeRegisters&regAddr=300&valuesCnt=2&regVals=[5,6]";
    const QByteArray sent = R"({"ok":"Values successfully sent."})";
    // The reply time-out over TCP is 0.5 s: a reply after it is no reply, and
    // must not be taken for the answer to a later request.
    QTest::newRow("late reply") << QByteArray("delay 900") << read << noReply << 1;
    QTest::newRow("late write echo") << QByteArray("delay 900") << write << noReply << 1;
    QTest::newRow("slow but in time") << QByteArray("delay 250") << read << QByteArray("[5,6]") << 1;
    QTest::newRow("wrong transaction id") << QByteArray("badtid") << read << protocolError(EMBBADDATA) << 4;
    QTest::newRow("wrong transaction id once") << QByteArray("badtid 1") << read << QByteArray("[5,6]") << 2;
    QTest::newRow("wrong function") << QByteArray("badfunc") << read << protocolError(EMBBADDATA) << 4;
    QTest::newRow("write, wrong function") << QByteArray("badfunc") << write << protocolError(EMBBADDATA) << 4;
    QTest::newRow("reset mid-frame") << QByteArray("halfdrop") << read << protocolError(ECONNRESET) << 4;
    QTest::newRow("reset mid-frame once") << QByteArray("halfdrop 1") << read << QByteArray("[5,6]") << 2;
    QTest::newRow("write, reset mid-frame once") << QByteArray("halfdrop 1") << write << sent << 2;
}

void TestFaults::tcpSlaveFaults()
{
    QFETCH(QByteArray, fault);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QFETCH(int, requests);

    QCOMPARE(connectTcp(orvo), QByteArray(R"({"ok":"Connected with Modbus TCP."})"));
    QCOMPARE(slave.command("set 300 5 6"), QByteArray("OK"));
    QCOMPARE(slave.command(fault), QByteArray("OK"));
    QCOMPARE(orvo.ajax(query), reply);
    QCOMPARE(slave.command("clear"), QByteArray("OK"));

    const QByteArray log = slave.command("log");
    QVERIFY(log.startsWith("OK "));
    QCOMPARE(QJsonDocument::fromJson(log.mid(3)).array().size(), requests);
    // The slave's registers hold what they held (or what was written).
    QCOMPARE(slave.command("get 300 2"), QByteArray("OK 5 6"));
    verifyServing(orvo, false);
}

void TestFaults::pollingWhileSlaveRestarts()
{
    QCOMPARE(connectTcp(orvo), QByteArray(R"({"ok":"Connected with Modbus TCP."})"));

    std::atomic<bool> stop{false};
    std::mutex repliesMutex;
    QList<QByteArray> replies;
    std::thread poller([&] {
        while (!stop) {
            const QByteArray reply = orvo.ajax("func=readRegisters&regAddr=300&valuesCnt=2");
            {
                const std::lock_guard<std::mutex> lock(repliesMutex);
                replies.append(reply);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    for (int round = 0; round < 2; ++round) {
        QTest::qWait(700);
        slave.stop();
        QTest::qWait(1000);
        QVERIFY(startSlave());
        QCOMPARE(slave.tcpPort(), slavePort);
    }
    QTest::qWait(700);
    stop = true;
    poller.join();

    int values = 0;
    int errors = 0;
    for (const QByteArray &reply : replies) {
        QVERIFY2(isWrittenReadReply(reply, 2), reply.constData());
        reply.startsWith('[') ? ++values : ++errors;
    }
    // Both states were seen: the slave was read, and its absence reported.
    QVERIFY2(values > 0 && errors > 0, qPrintable(QStringLiteral("%1 values, %2 errors").arg(values).arg(errors)));
    QCOMPARE(replies.last(), QByteArray("[5,6]"));
    verifyServing(orvo, false);
}

void TestFaults::serialLineGoneAndBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PtyPair pty;
    QVERIFY(pty.start(dir.path()));
    ModbusSlave rtu;
    const QStringList options{QStringLiteral("--slave"), QStringLiteral("3"), QStringLiteral("--reg"),
                              QStringLiteral("40=7,8")};
    QVERIFY(rtu.startRtu(pty.endB(), 19200, options));

    OrvoInstance instance;
    instance.setConfig(QStringLiteral("serial/extraPorts"), pty.endA());
    QVERIFY(instance.start({QStringLiteral("-r")}));
    // Baud index 4 is 19200, mode 3 is 8N1.
    QCOMPARE(instance.ajax("func=connect&connType=serial&slaveID=3&baudRate=4&mode=3&timeout=300&portSelect="
                           + QUrl::toPercentEncoding(pty.endA())),
             QByteArray(R"({"ok":"Connected with serial port."})"));
    const QByteArray read = "func=readRegisters&regAddr=40&valuesCnt=2";
    QCOMPARE(instance.ajax(read), QByteArray("[7,8]"));

    // The slave falls silent, then answers again.
    QCOMPARE(rtu.command("silence"), QByteArray("OK"));
    QCOMPARE(instance.ajax(read), noReply);
    QCOMPARE(rtu.command("clear"), QByteArray("OK"));
    QCOMPARE(instance.ajax(read), QByteArray("[7,8]"));

    // A reply cut off after half a frame is no reply; the next one is read whole.
    QCOMPARE(rtu.command("halfdrop 1"), QByteArray("OK"));
    QCOMPARE(instance.ajax(read), noReply);
    QCOMPARE(instance.ajax(read), QByteArray("[7,8]"));

    // The line itself goes away (an adapter unplugged) and comes back under
    // the same name: the device is opened again from the stored settings.
    rtu.stop();
    pty.stop();
    // The first request finds the line failing, the next cannot open it.
    QCOMPARE(instance.ajax(read), noReply);
    QCOMPARE(instance.ajax(read), noReply);
    QVERIFY(pty.start(dir.path()));
    QVERIFY(rtu.startRtu(pty.endB(), 19200, options));
    QCOMPARE(instance.ajax(read), QByteArray("[7,8]"));

    auto client = instance.client(20);
    const auto page = client->Get("/index.html");
    QVERIFY(page);
    QCOMPARE(page->status, 200);
}

bool TestFaults::startUpdateServer()
{
    if (updatePort)
        return true;
    const QString ready = updateServer.startPython(QStringLiteral("update_server.py"), {}, QStringLiteral("ready port="));
    updatePort = ready.section(QLatin1Char('='), -1).toInt();
    return updatePort > 0;
}

void TestFaults::configureUpdates(const QByteArray &json)
{
    httplib::Client c("127.0.0.1", updatePort);
    QVERIFY(c.Post("/_config", json.toStdString(), "application/json"));
}

void TestFaults::updateServerDropsMidFile()
{
    QVERIFY(startUpdateServer());
    OrvoInstance instance;
    instance.setConfig(QStringLiteral("updates/updateServer"), QStringLiteral("http://127.0.0.1:%1/").arg(updatePort));
    instance.writeDocFile(QStringLiteral("modules/alpha/index.html"), "<p>alpha 1</p>");
    instance.writeDocFile(QStringLiteral("modules/alpha/alpha.js"), "var alpha = 1;");
    instance.writeDocFile(QStringLiteral("modules/gamma/gamma.js"), "var gamma = 1;");
    QVERIFY(instance.start({QStringLiteral("-r")}));
    const QMap<QString, QByteArray> before = snapshot(instance.docroot());

    // alpha arrives whole; beta's second file breaks off half-way.
    configureUpdates(R"({"fileLists":{
        "alpha":["{base}/gen/3000/modules/alpha/index.html","{base}/files/modules/alpha/alpha.js"],
        "beta":["{base}/files/modules/beta/beta.js","{base}/drop/60000/modules/beta/data.bin"]},
        "files":{"/files/modules/alpha/alpha.js":"var alpha = 2;","/files/modules/beta/beta.js":"var beta = 2;"}})");
    const QByteArray modules = twiceEncoded(R"(["alpha","beta"])");
    QCOMPARE(instance.ajax("func=startUpdating&modulesList=" + modules), QByteArray(R"({"ok":"Update started"})"));
    QCOMPARE(waitForUpdateEnd(instance), replyError);
    // The earlier files had been staged, and none of it reached the document root.
    QCOMPARE(readFile(instance.folder() + QStringLiteral("/tmp/modules/alpha/alpha.js")), QByteArray("var alpha = 2;"));
    QCOMPARE(snapshot(instance.docroot()), before);
    verifyServing(instance, true);

    // The server is mended: the next run installs everything.
    configureUpdates(R"({"fileLists":{
        "alpha":["{base}/gen/3000/modules/alpha/index.html","{base}/files/modules/alpha/alpha.js"],
        "beta":["{base}/files/modules/beta/beta.js","{base}/gen/60000/modules/beta/data.bin"]},
        "files":{"/files/modules/alpha/alpha.js":"var alpha = 2;","/files/modules/beta/beta.js":"var beta = 2;"}})");
    QCOMPARE(instance.ajax("func=startUpdating&modulesList=" + modules), QByteArray(R"({"ok":"Update started"})"));
    QCOMPARE(waitForUpdateEnd(instance), completed);

    QMap<QString, QByteArray> expected = before;
    expected.insert(QStringLiteral("modules/alpha/index.html"), pattern(3000));
    expected.insert(QStringLiteral("modules/alpha/alpha.js"), "var alpha = 2;");
    expected.insert(QStringLiteral("modules/beta/"), QByteArray());
    expected.insert(QStringLiteral("modules/beta/beta.js"), "var beta = 2;");
    expected.insert(QStringLiteral("modules/beta/data.bin"), pattern(60000));
    QCOMPARE(snapshot(instance.docroot()), expected);
    QVERIFY(!QFileInfo::exists(instance.folder() + QStringLiteral("/tmp")));
    verifyServing(instance, false);
}

void TestFaults::stagingDiskFull()
{
    SmallDisk disk;
    if (!disk.mount(1024))
        QSKIP("needs root and a tmpfs mount for a small disk");
    QVERIFY(startUpdateServer());

    // The document root and its staging folder beside it both on the small disk.
    const QString docroot = disk.path() + QStringLiteral("/www");
    writeFile(docroot + QStringLiteral("/index.html"), testPage);
    writeFile(docroot + QStringLiteral("/modules/meter/meter.js"), "var meter = 1;");
    OrvoInstance instance;
    instance.setConfig(QStringLiteral("docroot/path"), docroot);
    instance.setConfig(QStringLiteral("updates/updateServer"), QStringLiteral("http://127.0.0.1:%1/").arg(updatePort));
    QVERIFY(instance.start({QStringLiteral("-r")}));
    const QMap<QString, QByteArray> before = snapshot(docroot);

    configureUpdates(R"({"fileLists":{
        "meter":["{base}/files/modules/meter/meter.js","{base}/big/4MB/modules/meter/table.bin"],
        "small":["{base}/files/modules/small/small.js"]},
        "files":{"/files/modules/meter/meter.js":"var meter = 2;","/files/modules/small/small.js":"var small = 1;"}})");
    QCOMPARE(instance.ajax("func=startUpdating&modulesList=" + twiceEncoded(R"(["meter"])")),
             QByteArray(R"({"ok":"Update started"})"));
    QCOMPARE(waitForUpdateEnd(instance), diskError);
    QCOMPARE(snapshot(docroot), before);
    verifyServing(instance, true);

    // The next run starts from an empty staging folder and fits.
    configureUpdates(R"({"fileLists":{"meter":["{base}/files/modules/meter/meter.js"],
        "small":["{base}/files/modules/small/small.js"]},
        "files":{"/files/modules/meter/meter.js":"var meter = 2;","/files/modules/small/small.js":"var small = 1;"}})");
    QCOMPARE(instance.ajax("func=startUpdating&modulesList=" + twiceEncoded(R"(["meter","small"])")),
             QByteArray(R"({"ok":"Update started"})"));
    QCOMPARE(waitForUpdateEnd(instance), completed);
    QCOMPARE(readFile(docroot + QStringLiteral("/modules/meter/meter.js")), QByteArray("var meter = 2;"));
    QCOMPARE(readFile(docroot + QStringLiteral("/modules/small/small.js")), QByteArray("var small = 1;"));
    QVERIFY(!QFileInfo::exists(disk.path() + QStringLiteral("/tmp")));
    verifyServing(instance, false);
    QCOMPARE(instance.stop(), 0);
}

void TestFaults::smtpServerVanishesMidSend()
{
    QTemporaryDir certDir;
    const QString cert = certDir.filePath(QStringLiteral("cert.pem"));
    const QString key = certDir.filePath(QStringLiteral("key.pem"));
    QVERIFY(makeCertificate(cert, key));
    FixtureProcess vanishing;
    const QString ready = vanishing.startPython(QStringLiteral("smtps_vanishing.py"),
                                                {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--cert"),
                                                 cert, QStringLiteral("--key"), key},
                                                QStringLiteral("READY"));
    const int vanishingPort = ready.section(QLatin1Char(' '), -1).trimmed().toInt();
    QVERIFY2(vanishingPort > 0, qPrintable(ready));

    OrvoInstance mailer;
    mailer.setConfig(QStringLiteral("email/smtpHost"), QStringLiteral("127.0.0.1"));
    mailer.setConfig(QStringLiteral("email/smtpPort"), QString::number(vanishingPort));
    mailer.setConfig(QStringLiteral("email/user"), QStringLiteral("orvo@mail.test"));
    mailer.setConfig(QStringLiteral("email/password"), QStringLiteral("secret"));
    mailer.setConfig(QStringLiteral("email/recipient"), QStringLiteral("support@mail.test"));
    QVERIFY(mailer.start({QStringLiteral("-r")}));

    const QByteArray json = twiceEncoded(R"({"name":"Jan","surname":"Nowak","email":"jan@example.com",)"
                                         R"("company":"ACME","phone":"600","module":"Meters","message":"Hello"})");
    QCOMPARE(mailer.ajax("func=sendEmail&json=" + json), QByteArray(R"({"status":"err!"})"));
    QVERIFY2(readFile(mailer.folder() + QStringLiteral("/emailError.txt")).contains("curl:"),
             readFile(mailer.folder() + QStringLiteral("/emailError.txt")).constData());
    const QString storePath = mailer.configHome() + QStringLiteral("/Brask/Orvo.conf");
    {
        QSettings store(storePath, QSettings::IniFormat);
        QVERIFY(!store.contains(QStringLiteral("time")));
        QVERIFY(!store.contains(QStringLiteral("how_many_email_send")));
    }
    verifyServing(mailer, true);

    // A working server: the failed send held nothing back.
    SmtpsServer server;
    QVERIFY(server.start(QStringLiteral("orvo@mail.test"), QStringLiteral("secret")));
    {
        QSettings config(mailer.configPath(), QSettings::IniFormat);
        config.setValue(QStringLiteral("email/smtpPort"), server.port());
    }
    QCOMPARE(mailer.ajax("func=sendEmail&json=" + json), QByteArray(R"({"status":"ok!"})"));
    QCOMPARE(server.messageCount(), 1);
    QSettings store(storePath, QSettings::IniFormat);
    QCOMPARE(store.value(QStringLiteral("how_many_email_send")).toInt(), 1);
}

void TestFaults::stalledClientsDoNotStarveOthers()
{
    QCOMPARE(connectTcp(orvo), QByteArray(R"({"ok":"Connected with Modbus TCP."})"));
    StalledClients stalled;
    QCOMPARE(stalled.open(orvo.port(), 200), 200);
    // Give the server time to take them all in.
    QTest::qWait(500);

    // Well within the time the stalled connections may hold a worker.
    auto client = orvo.client(20);
    for (int i = 0; i < 3; ++i) {
        const auto page = client->Get("/index.html");
        QVERIFY2(page, "a static page got no answer while slow clients were connected");
        QCOMPARE(page->status, 200);
        QCOMPARE(QByteArray::fromStdString(page->body), testPage);
        const auto status = client->Get("/ajax.html?func=getUpdateStatus");
        QVERIFY2(status, "an AJAX call got no answer while slow clients were connected");
        QCOMPARE(QByteArray::fromStdString(status->body), QByteArray("{}"));
        const auto read = client->Get("/ajax.html?func=readRegisters&regAddr=300&valuesCnt=2");
        QVERIFY2(read, "a register read got no answer while slow clients were connected");
        QCOMPARE(QByteArray::fromStdString(read->body), QByteArray("[5,6]"));
    }
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
