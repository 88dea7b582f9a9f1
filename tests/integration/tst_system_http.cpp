// System information, the actions that start other programs, the save and load
// endpoints and the contact e-mail, through the real orvo binary.

#include "smtpsserver.h"
#include "support/orvoinstance.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QTest>
#include <QUrl>

#include <thread>
#include <vector>

namespace {

// Pages encode some values twice (encodeURIComponent of encodeURIComponent).
QByteArray twiceEncoded(const QString &value)
{
    return QUrl::toPercentEncoding(QString::fromLatin1(QUrl::toPercentEncoding(value)));
}

QString pdfText(const QByteArray &pdf, const QString &tool = QStringLiteral("pdftotext"))
{
    QTemporaryFile file;
    if (!file.open())
        return QString();
    file.write(pdf);
    file.flush();
    QProcess p;
    QStringList arguments{file.fileName()};
    if (tool == QLatin1String("pdftotext"))
        arguments << QStringLiteral("-");
    p.start(tool, arguments);
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return QString();
    return QString::fromUtf8(p.readAllStandardOutput());
}

std::string header(const httplib::Result &res, const char *name)
{
    return res && res->has_header(name) ? res->get_header_value(name) : std::string("<none>");
}

} // namespace

class TestSystemHttp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void generalInfo();
    void firmwareUpdater();
    void fileManager_data();
    void fileManager();

    void save_data();
    void save();
    void savePdf();
    void pdfOfHugeOrRemoteHtml();
    void load();

    void sendEmail();

private:
    OrvoInstance orvo;
};

void TestSystemHttp::initTestCase()
{
    // The boot loader's arguments come from the last connection's settings.
    QSettings store(orvo.configHome() + QStringLiteral("/Brask/Orvo.conf"), QSettings::IniFormat);
    store.setValue(QStringLiteral("Selected_Port"), 3);
    store.setValue(QStringLiteral("baudRate"), 7);
    store.setValue(QStringLiteral("mode"), 1);
    store.setValue(QStringLiteral("slaveID"), 17);
    store.setValue(QStringLiteral("Brask_ID"), 123456);
    store.sync();
    // Quiet: the browser launch at start would otherwise race the xdg-open counts below.
    QVERIFY(orvo.start({QStringLiteral("-r")}));
}

void TestSystemHttp::generalInfo()
{
    int status = 0;
    const QByteArray reply = orvo.ajax("func=getGeneralInfo", &status);
    QCOMPARE(status, 200);
    QJsonParseError error{};
    const QJsonObject info = QJsonDocument::fromJson(reply, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(info.value(QStringLiteral("ver")).toString(), QStringLiteral("0.2.04"));
    QCOMPARE(info.value(QStringLiteral("runAsAdmin")).toInt(-1), 0);
    QCOMPARE(info.value(QStringLiteral("canSendMailReport")).toInt(), 1);
}

void TestSystemHttp::firmwareUpdater()
{
    QCOMPARE(orvo.ajax("func=runFirmwareUpdater"), QByteArray("{\"ok\":\"1\"}"));
    QTRY_COMPARE_WITH_TIMEOUT(orvo.fakeCalls(QStringLiteral("Bootloader")),
                              QStringList{QStringLiteral("2\t9\t4\t17\t123456")}, 5000);

    // A boot loader shipped beside the executable wins over one on PATH.
    const QString beside = orvo.folder() + QStringLiteral("/Bootloader");
    const QString log = orvo.folder() + QStringLiteral("/beside.log");
    QFile script(beside);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"$@\" >> '" + QFile::encodeName(log) + "'\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QCOMPARE(orvo.ajax("func=runFirmwareUpdater"), QByteArray("{\"ok\":\"1\"}"));
    const auto recorded = [&log] {
        QFile f(log);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    QTRY_COMPARE_WITH_TIMEOUT(recorded(), QByteArray("2 9 4 17 123456\n"), 5000);
    QCOMPARE(orvo.fakeCalls(QStringLiteral("Bootloader")).size(), 1);
}

void TestSystemHttp::fileManager_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QString>("opened"); // empty: refused

    const QString ftp = QStringLiteral("ftp://user@192.168.1.20/logs/a b&c=1+2%41");
    QTest::newRow("ftp address") << "address=" + twiceEncoded(ftp) << ftp;
    QTest::newRow("sftp address") << "address=" + twiceEncoded(QStringLiteral("sftp://host/x")) << "sftp://host/x";
    QTest::newRow("existing folder") << "address=" + twiceEncoded(orvo.folder()) << orvo.folder();
    QTest::newRow("web address") << "address=" + twiceEncoded(QStringLiteral("http://example.com/")) << QString();
    QTest::newRow("missing folder") << "address=" + twiceEncoded(orvo.folder() + QStringLiteral("/none")) << QString();
    QTest::newRow("an option") << QByteArray("address=--version") << QString();
    QTest::newRow("empty") << QByteArray("address=") << QString();
    QTest::newRow("no address") << QByteArray("x=1") << QString();
}

void TestSystemHttp::fileManager()
{
    QFETCH(QByteArray, query);
    QFETCH(QString, opened);

    const int before = static_cast<int>(orvo.fakeCalls(QStringLiteral("xdg-open")).size());
    const QByteArray reply = orvo.ajax("func=openFtpInExplorer&" + query);
    if (opened.isEmpty()) {
        QCOMPARE(reply, QByteArray("{\"error\":\"Parameter error!\"}"));
        QTest::qWait(300);
        QCOMPARE(orvo.fakeCalls(QStringLiteral("xdg-open")).size(), before);
    } else {
        QCOMPARE(reply, QByteArray("{\"ok\":\"FTP opened\"}"));
        QTRY_COMPARE_WITH_TIMEOUT(orvo.fakeCalls(QStringLiteral("xdg-open")).size(), before + 1, 5000);
        QCOMPARE(orvo.fakeCalls(QStringLiteral("xdg-open")).constLast(), opened);
    }
}

void TestSystemHttp::save_data()
{
    QTest::addColumn<QByteArray>("form");      // url-encoded, sent as a POST body
    QTest::addColumn<bool>("asQuery");         // sent as a GET query instead: no Content-type
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("disposition");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");       // "%PDF": a PDF document

    const QByteArray form = "application/x-www-form-urlencoded";
    QTest::newRow("only filename") << QByteArray("filename=a.txt") << false << 400 << QByteArray("<none>") << QByteArray() << QByteArray();
    QTest::newRow("only fileContent") << QByteArray("fileContent=abc") << false << 400 << QByteArray("<none>") << QByteArray() << QByteArray();
    QTest::newRow("text from a form") << QByteArray("filename=data.csv&fileContent=a%2Cb%0D%0A1%2C2") << false << 200
                                      << QByteArray("attachment; filename=data.csv") << form << QByteArray("a,b\r\n1,2");
    QTest::newRow("no Content-type to repeat") << QByteArray("filename=x.txt&fileContent=hello") << true << 200
                                               << QByteArray("attachment; filename=x.txt") << QByteArray("text/plain")
                                               << QByteArray("hello");
    QTest::newRow("empty content") << QByteArray("filename=x.txt&fileContent=") << false << 200
                                   << QByteArray("attachment; filename=x.txt") << form << QByteArray();
    QTest::newRow("blanks and quotes in the name")
        << QByteArray("filename=my%20%22big%22%20report.txt&fileContent=x") << false << 200
        << QByteArray("attachment; filename=my \"big\" report.txt") << form << QByteArray("x");
    QTest::newRow("upper-case PDF stays text") << QByteArray("filename=REPORT.PDF&fileContent=%3Cb%3Ex%3C%2Fb%3E") << false
                                               << 200 << QByteArray("attachment; filename=REPORT.PDF") << form
                                               << QByteArray("<b>x</b>");
    QTest::newRow(".pdf inside the name") << QByteArray("filename=data.pdf.txt&fileContent=%3Cp%3Ex%3C%2Fp%3E") << false
                                          << 200 << QByteArray("attachment; filename=data.pdf.txt")
                                          << QByteArray("application/pdf") << QByteArray("%PDF");
    QTest::newRow("line break in the name") << QByteArray("filename=a.txt%0D%0ASet-Cookie%3A%20x%3D1&fileContent=x")
                                            << false << 400 << QByteArray("<none>") << QByteArray() << QByteArray();
    QTest::newRow("lone LF in the name") << QByteArray("filename=a%0Ab.txt&fileContent=x") << false << 400
                                         << QByteArray("<none>") << QByteArray() << QByteArray();
    QTest::newRow("NUL in the name") << QByteArray("filename=a%00.txt&fileContent=x") << false << 400
                                     << QByteArray("<none>") << QByteArray() << QByteArray();
}

void TestSystemHttp::save()
{
    QFETCH(QByteArray, form);
    QFETCH(bool, asQuery);
    QFETCH(int, status);
    QFETCH(QByteArray, disposition);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);

    auto client = orvo.client();
    const httplib::Result res = asQuery ? client->Get("/saveFile.html?" + form.toStdString())
                                        : client->Post("/saveFile.html", form.toStdString(),
                                                       "application/x-www-form-urlencoded");
    QVERIFY(res);
    QCOMPARE(res->status, status);
    QCOMPARE(QByteArray::fromStdString(header(res, "Content-Disposition")), disposition);
    const QByteArray received = QByteArray::fromStdString(res->body);
    if (status != 200) {
        QVERIFY(received.isEmpty());
        return;
    }
    QCOMPARE(QByteArray::fromStdString(header(res, "Content-Type")), contentType);
    if (body == "%PDF")
        QVERIFY(received.startsWith("%PDF-"));
    else
        QCOMPARE(received, body);
}

void TestSystemHttp::savePdf()
{
    // Reports travel as multipart; the HTML ends at a NUL byte.
    QByteArray html = "<html><body><h1>Visible heading</h1><table border=1>";
    for (int i = 0; i < 120; ++i)
        html += "<tr><td>Row " + QByteArray::number(i) + "</td><td>Zażółć</td></tr>";
    html += "</table>";
    html += QByteArray("\0<h1>Hidden heading</h1></body></html>", 38);

    auto client = orvo.client(120);
    const httplib::MultipartFormDataItems items{{"filename", "report.pdf", "", ""},
                                                {"fileContent", html.toStdString(), "", ""}};
    const httplib::Result res = client->Post("/saveFile.html", items);
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    QCOMPARE(header(res, "Content-Type"), std::string("application/pdf"));
    QCOMPARE(header(res, "Content-Disposition"), std::string("attachment; filename=report.pdf"));

    const QByteArray pdf = QByteArray::fromStdString(res->body);
    const QString info = pdfText(pdf, QStringLiteral("pdfinfo"));
    QVERIFY2(info.contains(QStringLiteral("(A4)")), qPrintable(info));
    const QString text = pdfText(pdf);
    QVERIFY(text.contains(QStringLiteral("Visible heading")));
    QVERIFY(text.contains(QStringLiteral("Row 119")));
    QVERIFY(text.contains(QStringLiteral("Zażółć")));
    QVERIFY(!text.contains(QStringLiteral("Hidden")));
}

void TestSystemHttp::pdfOfHugeOrRemoteHtml()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    const QByteArray base = "http://127.0.0.1:" + QByteArray::number(listener.serverPort());

    QByteArray html = "<html><head><link rel=stylesheet href=\"" + base + "/s.css\"></head><body>"
                      "<h1>Remote references</h1><img src=\"" + base + "/x.png\" width=40 height=40>";
    // Several megabytes of text.
    for (int i = 0; i < 40000; ++i)
        html += "<p>Paragraph " + QByteArray::number(i) + " of a long measurement log, with enough words to fill a line.</p>";
    html += "<p>Last paragraph</p></body></html>";
    QVERIFY(html.size() > 3 * 1024 * 1024);

    auto client = orvo.client(280);
    const httplib::MultipartFormDataItems items{{"filename", "log.pdf", "", ""},
                                                {"fileContent", html.toStdString(), "", ""}};
    const httplib::Result res = client->Post("/saveFile.html", items);
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    const QByteArray pdf = QByteArray::fromStdString(res->body);
    QVERIFY(pdf.isEmpty() || pdf.startsWith("%PDF-"));
    if (!pdf.isEmpty())
        QVERIFY(pdfText(pdf).contains(QStringLiteral("Last paragraph")));
    QVERIFY(!listener.waitForNewConnection(300));
    QVERIFY(!listener.hasPendingConnections());
}

void TestSystemHttp::load()
{
    static const char raw[] = "line one\r\nline two\0\xff\xfe end";
    const QByteArray bytes(raw, sizeof raw - 1);
    auto client = orvo.client();
    const httplib::MultipartFormDataItems withFile{{"uploadedfile", bytes.toStdString(), "settings.cfg",
                                                    "application/octet-stream"}};
    httplib::Result res = client->Post("/loadFile.html", withFile);
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    QCOMPARE(header(res, "Content-Type"), std::string("text/plain"));
    QCOMPARE(QByteArray::fromStdString(res->body), bytes);

    const httplib::MultipartFormDataItems otherField{{"somethingelse", "x", "a.txt", "text/plain"}};
    res = client->Post("/loadFile.html", otherField);
    QVERIFY(res);
    QCOMPARE(res->status, 400);
    QVERIFY(res->body.empty());
    res = client->Get("/loadFile.html");
    QVERIFY(res);
    QCOMPARE(res->status, 400);
}

void TestSystemHttp::sendEmail()
{
    SmtpsServer server;
    QVERIFY(server.start(QStringLiteral("orvo@mail.test"), QStringLiteral("pass word")));

    OrvoInstance mailer;
    mailer.setConfig(QStringLiteral("email/smtpHost"), QStringLiteral("127.0.0.1"));
    mailer.setConfig(QStringLiteral("email/smtpPort"), QString::number(server.port()));
    mailer.setConfig(QStringLiteral("email/user"), QStringLiteral("orvo@mail.test"));
    mailer.setConfig(QStringLiteral("email/password"), QStringLiteral("pass word"));
    mailer.setConfig(QStringLiteral("email/recipient"), QStringLiteral("support@mail.test"));
    QVERIFY(mailer.start());

    const QString json = QStringLiteral("{\"name\":\"Jan\",\"surname\":\"Kowalski\",\"email\":\"jan@example.com\","
                                        "\"company\":\"A&B\",\"phone\":\"+48 600\",\"module\":\"Meters\","
                                        "\"message\":\"Rate 100% = fine\\nThanks\"}");
    QCOMPARE(mailer.ajax("func=sendEmail&json=" + twiceEncoded(json)), QByteArray("{\"status\":\"ok!\"}"));
    QCOMPARE(server.messageCount(), 1);
    QFile written(mailer.folder() + QStringLiteral("/emailMessage.txt"));
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QByteArray file = written.readAll();
    QVERIFY(file.contains("Client company   A&B\rClient phone   +48 600\r"));
    QVERIFY(file.endsWith("Client message   \rRate 100% = fine Thanks\r"));
    QCOMPARE(server.message(1), file + "\r\n");

    // Many at once: the window and the per-run limit hold, whatever the order.
    constexpr int requests = 20;
    std::vector<QByteArray> replies(requests);
    std::vector<std::thread> threads;
    for (int i = 0; i < requests; ++i) {
        threads.emplace_back([&, i] {
            replies[static_cast<size_t>(i)] = mailer.ajax("func=sendEmail&json=" + twiceEncoded(json));
        });
    }
    for (auto &t : threads)
        t.join();
    for (const QByteArray &reply : replies) {
        QVERIFY2(reply == "{\"status\":\"ok!\"}" || reply.startsWith("{\"status\":\"time\",\"timeleft\":\""),
                 reply.constData());
    }
    QVERIFY(server.messageCount() <= 3);
    QSettings store(mailer.configHome() + QStringLiteral("/Brask/Orvo.conf"), QSettings::IniFormat);
    QCOMPARE(store.value(QStringLiteral("how_many_email_send")).toInt(), server.messageCount());
}

QTEST_MAIN(TestSystemHttp)
#include "tst_system_http.moc"
