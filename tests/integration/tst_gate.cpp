// The gate in front of every path: loopback Host names only, no cross-site
// callers, security headers on every answer, and nothing outside the document root.
#include "orvoinstance.h"
#include "rawhttp.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class TstGate : public QObject
{
    Q_OBJECT

private:
    OrvoInstance orvo;
    QTemporaryDir outside;

private Q_SLOTS:
    void initTestCase()
    {
        QFile secret(outside.path() + QStringLiteral("/secret.txt"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("TOP-SECRET");
        secret.close();
        orvo.writeDocFile(QStringLiteral("style.css"), "body{}");
        orvo.writeDocFile(QStringLiteral("app.js"), "export const x = 1;");
        orvo.writeDocFile(QStringLiteral("data.json"), "{}");
        orvo.writeDocFile(QStringLiteral("sub/index.html"), "<p>sub</p>");
        orvo.writeDocFile(QStringLiteral("img.png"), QByteArray::fromHex("89504e470d0a1a0a"));
        QVERIFY(QFile::link(outside.path() + QStringLiteral("/secret.txt"), orvo.docroot() + QStringLiteral("/link.txt")));
        QVERIFY(QFile::link(outside.path(), orvo.docroot() + QStringLiteral("/linkdir")));
        // A file beside the document root, one level up.
        QFile sibling(orvo.folder() + QStringLiteral("/config-secret.txt"));
        QVERIFY(sibling.open(QIODevice::WriteOnly));
        sibling.write("TOP-SECRET");
        sibling.close();
        orvo.setConfig(QStringLiteral("listener/maxRequestSize"), QStringLiteral("4096"));
        QVERIFY2(orvo.start({QStringLiteral("-r")}), orvo.standardError().constData());
    }

    void hostAndOrigin_data()
    {
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        const QByteArray p = QByteArray::number(orvo.port());
        QTest::newRow("ip with port") << "Host: 127.0.0.1:" + p + "\r\n" << 200;
        QTest::newRow("localhost") << "Host: localhost:" + p + "\r\n" << 200;
        QTest::newRow("LOCALHOST upper case") << "Host: LOCALHOST:" + p + "\r\n" << 200;
        QTest::newRow("ipv6 loopback") << "Host: [::1]:" + p + "\r\n" << 200;
        QTest::newRow("no host") << QByteArray() << 403;
        QTest::newRow("foreign name") << "Host: evil.example:" + p + "\r\n" << 403;
        QTest::newRow("rebinding name without port") << QByteArray("Host: evil.example\r\n") << 403;
        QTest::newRow("loopback without port") << QByteArray("Host: 127.0.0.1\r\n") << 403;
        QTest::newRow("other port") << QByteArray("Host: 127.0.0.1:1\r\n") << 403;
        QTest::newRow("own origin") << "Host: 127.0.0.1:" + p + "\r\nOrigin: http://127.0.0.1:" + p + "\r\n" << 200;
        QTest::newRow("foreign origin") << "Host: 127.0.0.1:" + p + "\r\nOrigin: http://evil.example\r\n" << 403;
        QTest::newRow("null origin") << "Host: 127.0.0.1:" + p + "\r\nOrigin: null\r\n" << 403;
        QTest::newRow("https origin") << "Host: 127.0.0.1:" + p + "\r\nOrigin: https://127.0.0.1:" + p + "\r\n" << 403;
        QTest::newRow("cross-site fetch") << "Host: 127.0.0.1:" + p + "\r\nSec-Fetch-Site: cross-site\r\n" << 403;
        QTest::newRow("same-site fetch") << "Host: 127.0.0.1:" + p + "\r\nSec-Fetch-Site: same-site\r\n" << 403;
        QTest::newRow("same-origin fetch") << "Host: 127.0.0.1:" + p + "\r\nSec-Fetch-Site: same-origin\r\n" << 200;
        QTest::newRow("typed address") << "Host: 127.0.0.1:" + p + "\r\nSec-Fetch-Site: none\r\n" << 200;
    }

    void hostAndOrigin()
    {
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        for (const QByteArray path : {QByteArray("/index.html"), QByteArray("/ajax.html?func=getGeneralInfo")}) {
            const QByteArray reply = rawHttp(orvo.port(), "GET " + path + " HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n");
            QCOMPARE(rawStatus(reply), status);
            // Every answer, refusals included, carries the security headers.
            QVERIFY(reply.contains("X-Content-Type-Options: nosniff\r\n"));
            QVERIFY(reply.contains("X-Frame-Options: SAMEORIGIN\r\n"));
            QVERIFY(reply.contains("Referrer-Policy: same-origin\r\n"));
            QVERIFY(!reply.contains("Access-Control-Allow-Origin"));
        }
    }

    void refusedBeforeTheBodyIsRead()
    {
        // The body is announced but never sent: a gate that waited for it would time out.
        const QByteArray reply = rawHttp(orvo.port(),
                                         "POST /ajax.html HTTP/1.1\r\nHost: evil.example\r\nContent-Type: "
                                         "application/x-www-form-urlencoded\r\nContent-Length: 100000\r\n\r\n",
                                         3000);
        QCOMPARE(rawStatus(reply), 403);
    }

    void staticFiles_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentType");
        QTest::newRow("root") << QByteArray("/") << 200 << QByteArray("text/html");
        QTest::newRow("html") << QByteArray("/index.html") << 200 << QByteArray("text/html");
        QTest::newRow("css") << QByteArray("/style.css") << 200 << QByteArray("text/css");
        QTest::newRow("js") << QByteArray("/app.js") << 200 << QByteArray("javascript");
        QTest::newRow("json") << QByteArray("/data.json") << 200 << QByteArray("application/json");
        QTest::newRow("png") << QByteArray("/img.png") << 200 << QByteArray("image/png");
        QTest::newRow("directory index") << QByteArray("/sub/") << 200 << QByteArray("text/html");
        QTest::newRow("missing") << QByteArray("/nothing.html") << 404 << QByteArray();
    }

    void staticFiles()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, status);
        QFETCH(QByteArray, contentType);
        auto res = orvo.client()->Get(path.toStdString());
        QVERIFY(res);
        QCOMPARE(res->status, status);
        if (status == 200)
            QVERIFY2(QByteArray::fromStdString(res->get_header_value("Content-Type")).contains(contentType),
                     res->get_header_value("Content-Type").c_str());
    }

    void headAndOtherMethods()
    {
        auto client = orvo.client();
        auto head = client->Head("/index.html");
        QVERIFY(head);
        QCOMPARE(head->status, 200);
        QVERIFY(head->body.empty());
        auto del = client->Delete("/index.html");
        QVERIFY(del);
        QCOMPARE(del->status, 404);
    }

    void traversal_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("dot dot") << QByteArray("/../config-secret.txt");
        QTest::newRow("deep dot dot") << QByteArray("/../../../../../../etc/passwd");
        QTest::newRow("encoded dots") << QByteArray("/%2e%2e/config-secret.txt");
        QTest::newRow("encoded slash") << QByteArray("/..%2fconfig-secret.txt");
        QTest::newRow("double encoded") << QByteArray("/%252e%252e/config-secret.txt");
        QTest::newRow("inside then out") << QByteArray("/sub/../../config-secret.txt");
        QTest::newRow("backslashes") << QByteArray("/..\\config-secret.txt");
        QTest::newRow("symlink to file outside") << QByteArray("/link.txt");
        QTest::newRow("symlink to folder outside") << QByteArray("/linkdir/secret.txt");
        QTest::newRow("nul byte") << QByteArray("/index.html%00.png");
        QTest::newRow("absolute") << QByteArray("//etc/passwd");
    }

    void traversal()
    {
        QFETCH(QByteArray, path);
        const QByteArray p = QByteArray::number(orvo.port());
        const QByteArray reply = rawHttp(orvo.port(), "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\nConnection: close\r\n\r\n");
        QVERIFY2(!reply.contains("TOP-SECRET") && !reply.contains("root:"), reply.constData());
        QCOMPARE(rawStatus(reply), 404);
    }

    void limits()
    {
        const QByteArray p = QByteArray::number(orvo.port());
        // An url-encoded body above maxRequestSize.
        const QByteArray body = "func=x&pad=" + QByteArray(6000, 'a');
        QByteArray reply = rawHttp(orvo.port(), "POST /ajax.html HTTP/1.1\r\nHost: 127.0.0.1:" + p
                                                    + "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: "
                                                    + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        QCOMPARE(rawStatus(reply), 413);
        // A request line beyond the library's URI limit.
        reply = rawHttp(orvo.port(), "GET /ajax.html?func=" + QByteArray(9000, 'a') + " HTTP/1.1\r\nHost: 127.0.0.1:" + p
                                         + "\r\nConnection: close\r\n\r\n");
        QCOMPARE(rawStatus(reply), 414);
        // Malformed requests.
        QCOMPARE(rawStatus(rawHttp(orvo.port(), "NONSENSE\r\n\r\n")), 400);
        // A long path that stays inside the limits is answered, not a crash.
        reply = rawHttp(orvo.port(), "GET /" + QByteArray(8000, 'x') + " HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\nConnection: close\r\n\r\n");
        QCOMPARE(rawStatus(reply), 404);
        // Still serving.
        auto res = orvo.client()->Get("/index.html");
        QVERIFY(res);
        QCOMPARE(res->status, 200);
    }

    void cleanupTestCase()
    {
        QCOMPARE(orvo.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TstGate)
#include "tst_gate.moc"
