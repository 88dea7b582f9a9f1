#include "email/email.h"

#include "../integration/smtpsserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>
#include <thread>
#include <vector>

namespace {

const QString smtpUser = QStringLiteral("reports@orvo.test");
const QString smtpPassword = QStringLiteral("s3cret:pass");
const QString recipient = QStringLiteral("support@orvo.test");

// What a page sends: the form as JSON text, percent-encoded once more than the
// HTTP library undoes.
QByteArray formJson(const QString &name = QStringLiteral("Anna"), const QString &message = QStringLiteral("Hello"))
{
    const QString json = QStringLiteral("{\"name\":\"%1\",\"surname\":\"Nowak\",\"email\":\"anna@example.com\","
                                        "\"company\":\"Brask\",\"phone\":\"+48 123 456\",\"module\":\"Meters\","
                                        "\"message\":\"%2\"}")
                             .arg(name, message);
    return QUrl::toPercentEncoding(json);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestEmail : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void parseFields_data();
    void parseFields();
    void messageFile();

    void timeWindow_data();
    void timeWindow();
    void fieldLengths_data();
    void fieldLengths();
    void unusableRequests_data();
    void unusableRequests();

    void sendsThroughSmtps();
    void threeSendsPerRun();
    void concurrentRequests();
    void failures_data();
    void failures();
    void curlThatHangs();

private:
    // An Email whose config.ini (and message files) live in a fresh folder.
    std::unique_ptr<Email> makeEmail(int port, const QString &password = smtpPassword);
    static QSettings store() { return QSettings(QStringLiteral("Brask"), QStringLiteral("Orvo")); }

    QTemporaryDir configHome;
    std::unique_ptr<QTemporaryDir> folder;
    SmtpsServer server;
    QDateTime now;
};

void TestEmail::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    QCoreApplication::setOrganizationName(QStringLiteral("Brask"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvo"));
    QVERIFY(server.start(smtpUser, smtpPassword));
    Email::clock = [this] { return now; };
}

void TestEmail::init()
{
    store().clear();
    Email::resetSendCount();
    now = QDateTime(QDate(2026, 3, 14), QTime(10, 0, 0));
    folder = std::make_unique<QTemporaryDir>();
}

std::unique_ptr<Email> TestEmail::makeEmail(int port, const QString &password)
{
    const QString configPath = folder->filePath(QStringLiteral("config.ini"));
    QSettings config(configPath, QSettings::IniFormat);
    if (port > 0) {
        config.setValue(QStringLiteral("email/smtpHost"), QStringLiteral("127.0.0.1"));
        config.setValue(QStringLiteral("email/smtpPort"), port);
        config.setValue(QStringLiteral("email/user"), smtpUser);
        config.setValue(QStringLiteral("email/password"), password);
        config.setValue(QStringLiteral("email/recipient"), recipient);
    }
    config.sync();
    return std::make_unique<Email>(configPath);
}

void TestEmail::parseFields_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QStringList>("fields");

    const QString tail = QStringLiteral("\"email\":\"a@b.c\",\"company\":\"Brask\",\"phone\":\"1\",\"module\":\"M\"");
    QTest::newRow("form") << "{\"name\":\"Anna\",\"surname\":\"Nowak\"," + tail + ",\"message\":\"Hi\"}"
                          << QStringList{"Anna", "Nowak", "a@b.c", "Brask", "1", "M", "Hi"};
    QTest::newRow("only positions count") << "{\"x\":\"Anna\",\"y\":\"Nowak\"," + tail + ",\"z\":\"Hi\"}"
                                          << QStringList{"Anna", "Nowak", "a@b.c", "Brask", "1", "M", "Hi"};
    QTest::newRow("message cut at a comma") << "{\"name\":\"A\",\"surname\":\"N\"," + tail + ",\"message\":\"Hi, there\"}"
                                            << QStringList{"A", "N", "a@b.c", "Brask", "1", "M", "Hi"};
    QTest::newRow("value cut at a colon") << "{\"name\":\"A\",\"surname\":\"N\"," + tail + ",\"message\":\"at 10:30\"}"
                                          << QStringList{"A", "N", "a@b.c", "Brask", "1", "M", "at 10"};
    QTest::newRow("blank after the colon stays") << "{\"name\": \"A\",\"surname\":\"N\"," + tail + ",\"message\":\"m\"}"
                                                 << QStringList{" A", "N", "a@b.c", "Brask", "1", "M", "m"};
    QTest::newRow("empty values") << "{\"name\":\"\",\"surname\":\"\"," + tail + ",\"message\":\"\"}"
                                  << QStringList{"", "", "a@b.c", "Brask", "1", "M", ""};
    QTest::newRow("six items") << "{\"name\":\"A\"," + tail + ",\"message\":\"m\"}" << QStringList{};
    QTest::newRow("item without colon") << "{\"name\":\"A\",\"surname\"," + tail + ",\"message\":\"m\"}" << QStringList{};
    QTest::newRow("not json at all") << "hello" << QStringList{};
    QTest::newRow("empty") << "" << QStringList{};
}

void TestEmail::parseFields()
{
    QFETCH(QString, json);
    QFETCH(QStringList, fields);
    QCOMPARE(Email::parseFields(QUrl::toPercentEncoding(json)), fields);
}

void TestEmail::messageFile()
{
    const QStringList fields{QStringLiteral("Łucja"), QStringLiteral("Nowak"), QStringLiteral("l@n.pl"),
                             QStringLiteral("Brask"), QStringLiteral("+48 1"), QStringLiteral("Meters"),
                             QStringLiteral("Zażółć gęślą jaźń")};
    const QByteArray expected = "Subject: \xc5\x81ucja Nowak sent a message.\r\n"
                                "MIME-Version: 1.0\r"
                                "Content-Transfer-Encoding: 8bit\r"
                                "Content-Type: text/plain;charset=utf-8\r"
                                "Client name   \xc5\x81ucja\r"
                                "Client surname   Nowak\r"
                                "Client email   l@n.pl\r"
                                "Client company   Brask\r"
                                "Client phone   +48 1\r"
                                "Client Orvo version   0.2.04\r"
                                "Client Orvo active module   Meters\r"
                                "Client message   \r"
                                "Za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87 g\xc4\x99\xc5\x9bl\xc4\x85 ja\xc5\xba\xc5\x84\r";
    QCOMPARE(Email::composeMessage(fields), expected);
}

void TestEmail::timeWindow_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<qint64>("msecsSinceLastSend");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray passes = "{\"error\":\"Parameter error!\"}"; // the request has no "json"
    QTest::newRow("never sent") << false << qint64(0) << passes;
    QTest::newRow("same second") << true << qint64(0) << passes;
    QTest::newRow("half a second") << true << qint64(500) << passes;
    QTest::newRow("1 s") << true << qint64(1000) << QByteArray("{\"status\":\"time\",\"timeleft\":\"899\"}");
    QTest::newRow("60 s") << true << qint64(60000) << QByteArray("{\"status\":\"time\",\"timeleft\":\"840\"}");
    QTest::newRow("899 s") << true << qint64(899000) << QByteArray("{\"status\":\"time\",\"timeleft\":\"1\"}");
    QTest::newRow("900 s") << true << qint64(900000) << passes;
    QTest::newRow("a day") << true << qint64(86400000) << passes;
    QTest::newRow("stored time in the future") << true << qint64(-60000) << passes;
}

void TestEmail::timeWindow()
{
    QFETCH(bool, stored);
    QFETCH(qint64, msecsSinceLastSend);
    QFETCH(QByteArray, reply);
    if (stored)
        store().setValue(QStringLiteral("time"), now.addMSecs(-msecsSinceLastSend));
    auto email = makeEmail(server.port());
    QCOMPARE(email->sendEmail({}), reply);
    QVERIFY(!QFile::exists(email->messageFilePath()));
    QCOMPARE(server.messageCount(), 0);
}

void TestEmail::fieldLengths_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("tooLong");

    QTest::newRow("name 20") << 0 << QString(20, QLatin1Char('a')) << false;
    QTest::newRow("name 21") << 0 << QString(21, QLatin1Char('a')) << true;
    QTest::newRow("surname 31") << 1 << QString(31, QLatin1Char('a')) << true;
    QTest::newRow("e-mail 31") << 2 << QString(31, QLatin1Char('a')) << true;
    QTest::newRow("company 50") << 3 << QString(50, QLatin1Char('a')) << false;
    QTest::newRow("company 51") << 3 << QString(51, QLatin1Char('a')) << true;
    QTest::newRow("phone 26") << 4 << QString(26, QLatin1Char('1')) << true;
    QTest::newRow("module 21") << 5 << QString(21, QLatin1Char('m')) << true;
    QTest::newRow("message 2000") << 6 << QString(2000, QLatin1Char('x')) << false;
    QTest::newRow("message 2001") << 6 << QString(2001, QLatin1Char('x')) << true;
    // Lengths count UTF-16 units, not bytes: 20 two-byte letters fit, ten
    // emoji (two units each) fill the name, eleven do not.
    QTest::newRow("name of 20 Polish letters") << 0 << QString(20, QChar(0x0142)) << false;
    QTest::newRow("name of 10 emoji") << 0 << QString::fromUtf8(QByteArray("\xf0\x9f\x98\x80").repeated(10)) << false;
    QTest::newRow("name of 11 emoji") << 0 << QString::fromUtf8(QByteArray("\xf0\x9f\x98\x80").repeated(11)) << true;
}

void TestEmail::fieldLengths()
{
    QFETCH(int, field);
    QFETCH(QString, value);
    QFETCH(bool, tooLong);

    QStringList values{"Anna", "Nowak", "anna@example.com", "Brask", "123", "Meters", "Hello"};
    values[field] = value;
    const QStringList keys{"name", "surname", "email", "company", "phone", "module", "message"};
    QString json = QStringLiteral("{");
    for (int i = 0; i < keys.size(); ++i)
        json += QStringLiteral("%1\"%2\":\"%3\"").arg(i ? "," : "", keys[i], values[i]);
    json += QLatin1Char('}');

    // No SMTP settings: a request that passes the checks ends at the missing settings, before any command.
    auto email = makeEmail(0);
    const QByteArray reply = email->sendEmail({{"json", QUrl::toPercentEncoding(json)}});
    if (tooLong) {
        QCOMPARE(reply, QByteArray("{\"error\":\"err2!\"}"));
        QVERIFY(!QFile::exists(email->errorFilePath()));
    } else {
        QCOMPARE(reply, QByteArray("{\"status\":\"err!\"}"));
        QVERIFY(readFile(email->errorFilePath()).contains("smtpHost"));
    }
    QVERIFY(!QFile::exists(email->messageFilePath()));
}

void TestEmail::unusableRequests_data()
{
    QTest::addColumn<ParameterMap>("params");
    QTest::newRow("no json") << ParameterMap{{"name", "Anna"}};
    QTest::newRow("empty json") << ParameterMap{{"json", ""}};
    QTest::newRow("fewer than seven items") << ParameterMap{{"json", QUrl::toPercentEncoding("{\"name\":\"Anna\"}")}};
    QTest::newRow("an item without a colon")
        << ParameterMap{{"json", QUrl::toPercentEncoding("{\"a\":\"1\",\"b\",\"c\":\"3\",\"d\":\"4\",\"e\":\"5\","
                                                         "\"f\":\"6\",\"g\":\"7\"}")}};
}

void TestEmail::unusableRequests()
{
    QFETCH(ParameterMap, params);
    auto email = makeEmail(server.port());
    QCOMPARE(email->sendEmail(params), QByteArray("{\"error\":\"Parameter error!\"}"));
    QVERIFY(!QFile::exists(email->messageFilePath()));
    QVERIFY(!store().contains(QStringLiteral("time")));
    QCOMPARE(server.messageCount(), 0);
}

void TestEmail::sendsThroughSmtps()
{
    auto email = makeEmail(server.port());
    const QByteArray reply = email->sendEmail(
        {{"json", formJson(QStringLiteral("Ewa"), QStringLiteral("Line one\\nLine two 100% & more"))}});
    QCOMPARE(reply, QByteArray("{\"status\":\"ok!\"}"));

    const QByteArray file = readFile(email->messageFilePath());
    QCOMPARE(file, QByteArray("Subject: Ewa Nowak sent a message.\r\n"
                              "MIME-Version: 1.0\rContent-Transfer-Encoding: 8bit\r"
                              "Content-Type: text/plain;charset=utf-8\r"
                              "Client name   Ewa\rClient surname   Nowak\rClient email   anna@example.com\r"
                              "Client company   Brask\rClient phone   +48 123 456\rClient Orvo version   0.2.04\r"
                              "Client Orvo active module   Meters\rClient message   \r"
                              "Line one Line two 100% & more\r"));
    QCOMPARE(server.messageCount(), 1);
    // curl ends the upload with the CR LF the SMTP framing needs.
    QCOMPARE(server.message(1), file + "\r\n");
    QCOMPARE(server.envelope(1), QStringLiteral("from %1\nto %2\n").arg(smtpUser, recipient));

    QCOMPARE(store().value(QStringLiteral("time")).toDateTime(), now);
    QCOMPARE(store().value(QStringLiteral("how_many_email_send")).toInt(), 1);
    QCOMPARE(Email::sendCount(), 1);
    QVERIFY(!QFile::exists(email->errorFilePath()));

    now = now.addSecs(60);
    QCOMPARE(email->sendEmail({{"json", formJson()}}), QByteArray("{\"status\":\"time\",\"timeleft\":\"840\"}"));
    QCOMPARE(server.messageCount(), 1);
}

void TestEmail::threeSendsPerRun()
{
    auto email = makeEmail(server.port());
    const int before = server.messageCount();
    for (int i = 1; i <= 3; ++i) {
        QCOMPARE(email->sendEmail({{"json", formJson(QStringLiteral("Send%1").arg(i))}}),
                 QByteArray("{\"status\":\"ok!\"}"));
        now = now.addSecs(900);
    }
    QCOMPARE(server.messageCount(), before + 3);
    QCOMPARE(store().value(QStringLiteral("how_many_email_send")).toInt(), 3);

    // The fourth answers as if sent, and nothing is composed, sent or stored.
    const QDateTime lastSend = store().value(QStringLiteral("time")).toDateTime();
    QCOMPARE(email->sendEmail({{"json", formJson(QStringLiteral("Send4"))}}), QByteArray("{\"status\":\"ok!\"}"));
    QCOMPARE(email->sendEmail({}), QByteArray("{\"status\":\"ok!\"}"));
    QCOMPARE(server.messageCount(), before + 3);
    QVERIFY(readFile(email->messageFilePath()).contains("Client name   Send3\r"));
    QCOMPARE(store().value(QStringLiteral("time")).toDateTime(), lastSend);
    QCOMPARE(Email::sendCount(), 3);
}

void TestEmail::concurrentRequests()
{
    // All at the same instant: the same-second rule lets each through the window,
    // so only the count holds them back.
    auto email = makeEmail(server.port());
    const int before = server.messageCount();
    constexpr int requests = 20;
    std::vector<QByteArray> replies(requests);
    std::vector<std::thread> threads;
    for (int i = 0; i < requests; ++i) {
        threads.emplace_back([&, i] {
            replies[static_cast<size_t>(i)] = email->sendEmail({{"json", formJson(QStringLiteral("T%1").arg(i))}});
        });
    }
    for (auto &t : threads)
        t.join();
    for (const QByteArray &reply : replies)
        QCOMPARE(reply, QByteArray("{\"status\":\"ok!\"}"));
    QCOMPARE(server.messageCount(), before + 3);
    QCOMPARE(Email::sendCount(), 3);
    QCOMPARE(store().value(QStringLiteral("how_many_email_send")).toInt(), 3);
}

void TestEmail::failures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("login refused") << "password" << QByteArray("curl: (67)");
    QTest::newRow("server down") << "down" << QByteArray("curl: (7)");
    QTest::newRow("no curl") << "nocurl" << QByteArray("curl could not be started");
}

void TestEmail::failures()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, logged);

    const int before = server.messageCount();
    std::unique_ptr<Email> email;
    if (fault == QLatin1String("password"))
        email = makeEmail(server.port(), QStringLiteral("wrong"));
    else if (fault == QLatin1String("down"))
        email = makeEmail(freeLoopbackPort());
    else
        email = makeEmail(server.port());

    const QByteArray path = qgetenv("PATH");
    QTemporaryDir emptyBin;
    if (fault == QLatin1String("nocurl"))
        qputenv("PATH", QFile::encodeName(emptyBin.path()));
    const QByteArray reply = email->sendEmail({{"json", formJson()}});
    qputenv("PATH", path);

    QCOMPARE(reply, QByteArray("{\"status\":\"err!\"}"));
    const QByteArray log = readFile(email->errorFilePath());
    QVERIFY2(log.contains(logged), log.constData());
    QVERIFY(QFile::exists(email->messageFilePath()));
    QCOMPARE(server.messageCount(), before);
    QVERIFY(!store().contains(QStringLiteral("time")));
    QVERIFY(!store().contains(QStringLiteral("how_many_email_send")));
    QCOMPARE(Email::sendCount(), 0);
}

void TestEmail::curlThatHangs()
{
    // Accepts the connection and never speaks TLS: curl waits until it is stopped.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    auto email = makeEmail(silent.serverPort());
    QCOMPARE(email->sendEmail({{"json", formJson()}}), QByteArray("{\"status\":\"err!\"}"));
    QVERIFY(readFile(email->errorFilePath()).contains("did not finish within 30 s"));
    QVERIFY(!store().contains(QStringLiteral("time")));
    QCOMPARE(Email::sendCount(), 0);
}

QTEST_MAIN(TestEmail)
#include "tst_email.moc"
