// The module listing, the update check and a module update through the real
// program, against the scriptable update server.
#include "support/fixtureprocess.h"
#include "support/orvoinstance.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

const QByteArray connectError("{\"error\":\"Unable to connect with server!\"}");

// Warnings Qt prints when an object is used from the wrong thread.
bool hasThreadWarnings(const QByteArray &stderrText)
{
    return stderrText.contains("QObject::") || stderrText.contains("QBasicTimer") || stderrText.contains("Timers ")
           || stderrText.contains("QSocketNotifier");
}

QByteArray twiceEncoded(const QByteArray &value)
{
    return QUrl::toPercentEncoding(QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(value))));
}

} // namespace

class TestModulesHttp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void listingUsesRelativeDocroot();
    void checkPostsExactlyWhatThePageSent();
    void checkFailures_data();
    void checkFailures();
    void checkGivesUpAfterTenSeconds();
    void updateInstallsModule();

private:
    void configure(const QByteArray &json);
    QJsonArray requests();
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }

    FixtureProcess server;
    int port = 0;
    // Shared by the check tests that talk to the fixture server.
    std::unique_ptr<OrvoInstance> orvo;
};

void TestModulesHttp::initTestCase()
{
    const QString ready = server.startPython(QStringLiteral("update_server.py"), {}, QStringLiteral("ready port="));
    QVERIFY2(!ready.isEmpty(), "update server did not start");
    port = ready.section(QLatin1Char('='), -1).toInt();
    orvo = std::make_unique<OrvoInstance>();
    orvo->setConfig(QStringLiteral("updates/updateServer"), base() + QStringLiteral("/check/v1"));
    QVERIFY2(orvo->start({QStringLiteral("-r")}), orvo->standardError().constData());
}

void TestModulesHttp::init()
{
    configure("{\"check\":{\"status\":200,\"body\":\"{}\"},\"fileLists\":{},\"files\":{}}");
}

void TestModulesHttp::configure(const QByteArray &json)
{
    httplib::Client c("127.0.0.1", port);
    QVERIFY(c.Post("/_config", json.toStdString(), "application/json"));
    QVERIFY(c.Post("/_reset", "", "text/plain"));
}

QJsonArray TestModulesHttp::requests()
{
    httplib::Client c("127.0.0.1", port);
    auto res = c.Get("/_requests");
    return res ? QJsonDocument::fromJson(QByteArray::fromStdString(res->body)).array() : QJsonArray();
}

void TestModulesHttp::listingUsesRelativeDocroot()
{
    // config.ini says "www"; the program runs from another working directory.
    OrvoInstance instance;
    instance.writeDocFile(QStringLiteral("modules/meter/index.html"), "<p>meter</p>");
    instance.writeDocFile(QStringLiteral("modules/meter/meter.JS"), "1;");
    instance.writeDocFile(QStringLiteral("modules/meter/lib/deep.js"), "1;");
    QVERIFY(instance.start({QStringLiteral("-r")}));
    int status = 0;
    QCOMPARE(instance.ajax("func=getListOfInstalledModules", &status),
             QByteArray("{\"meter\":{\"html\":[\"index.html\"],\"css\":[],\"js\":[\"meter.JS\"]}}"));
    QCOMPARE(status, 200);
}

void TestModulesHttp::checkPostsExactlyWhatThePageSent()
{
    const QByteArray answer = "{\"modules\":[{\"name\":\"meter\",\"version\":\"1.2\"}]}\n";
    configure("{\"check\":{\"status\":200,\"body\":" + QJsonDocument(QJsonArray{QString::fromLatin1(answer)})
                                                          .toJson(QJsonDocument::Compact)
                                                          .mid(1)
                                                          .chopped(1)
              + "}}");
    // What a page holds, with the characters a single encoding would lose.
    const QByteArray question = "{\"installed\":[\"a b\",\"x&y=z+%\"]}";
    QCOMPARE(orvo->ajax("func=check4Updates&json=" + twiceEncoded(question)), answer);

    const QJsonArray received = requests();
    QCOMPARE(received.size(), 1);
    const QJsonObject post = received.first().toObject();
    QCOMPARE(post.value(QStringLiteral("method")).toString(), QStringLiteral("POST"));
    QCOMPARE(post.value(QStringLiteral("path")).toString(), QStringLiteral("/check/v1"));
    // The once-decoded value goes on as the form body, so the server's form
    // decoding yields the page's text.
    QCOMPARE(post.value(QStringLiteral("body")).toString().toLatin1(),
             "json=" + QUrl::toPercentEncoding(QString::fromUtf8(question)));
    QStringList contentTypes;
    for (const auto &h : post.value(QStringLiteral("headers")).toArray()) {
        if (h.toArray().at(0).toString().compare(QStringLiteral("Content-Type"), Qt::CaseInsensitive) == 0)
            contentTypes.append(h.toArray().at(1).toString());
    }
    QCOMPARE(contentTypes, QStringList{QStringLiteral("application/x-www-form-urlencoded")});
}

void TestModulesHttp::checkFailures_data()
{
    QTest::addColumn<QByteArray>("checkConfig");
    QTest::addColumn<QString>("updateServer"); // empty: the fixture server
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("postsReceived");

    QTest::newRow("no json parameter") << QByteArray("{\"status\":200,\"body\":\"x\"}") << QString()
                                       << QByteArray("func=check4Updates&other=1")
                                       << QByteArray("{\"error\":\"Parameter error!\"}") << 0;
    QTest::newRow("empty json parameter")
        << QByteArray("{\"status\":200,\"body\":\"fine\"}") << QString() << QByteArray("func=check4Updates&json=")
        << QByteArray("fine") << 1;
    QTest::newRow("204 without body") << QByteArray("{\"status\":204}") << QString()
                                      << QByteArray("func=check4Updates&json=1") << QByteArray() << 1;
    QTest::newRow("404") << QByteArray("{\"status\":404,\"body\":\"{}\"}") << QString()
                         << QByteArray("func=check4Updates&json=1") << connectError << 1;
    QTest::newRow("500") << QByteArray("{\"status\":500,\"body\":\"{}\"}") << QString()
                         << QByteArray("func=check4Updates&json=1") << connectError << 1;
    // Not followed: the server's answer must come from the configured address.
    QTest::newRow("redirect") << QByteArray("{\"status\":301,\"body\":\"{}\",\"headers\":{\"Location\":\"{base}/x\"}}")
                              << QString() << QByteArray("func=check4Updates&json=1") << connectError << 1;
    QTest::newRow("nobody listening") << QByteArray() << QStringLiteral("http://127.0.0.1:%1/").arg(freeLoopbackPort())
                                      << QByteArray("func=check4Updates&json=1") << connectError << 0;
    QTest::newRow("unconfigured server") << QByteArray() << QStringLiteral(".")
                                         << QByteArray("func=check4Updates&json=1") << connectError << 0;
}

void TestModulesHttp::checkFailures()
{
    QFETCH(QByteArray, checkConfig);
    QFETCH(QString, updateServer);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, expected);
    QFETCH(int, postsReceived);

    if (!checkConfig.isEmpty())
        configure("{\"check\":" + checkConfig + "}");
    OrvoInstance *target = orvo.get();
    std::unique_ptr<OrvoInstance> own;
    if (!updateServer.isEmpty()) {
        own = std::make_unique<OrvoInstance>();
        own->setConfig(QStringLiteral("updates/updateServer"), updateServer);
        QVERIFY(own->start({QStringLiteral("-r")}));
        target = own.get();
    }
    int status = 0;
    QCOMPARE(target->ajax(query, &status), expected);
    QCOMPARE(status, 200);
    QCOMPARE(requests().size(), postsReceived);
}

void TestModulesHttp::checkGivesUpAfterTenSeconds()
{
    configure("{\"check\":{\"status\":200,\"body\":\"late\",\"delay\":11}}");
    QCOMPARE(orvo->ajax("func=check4Updates&json=1"), connectError);
    // Other requests were served meanwhile and afterwards.
    QCOMPARE(orvo->ajax("func=getUpdateStatus"), QByteArray("{}"));
    QVERIFY2(!hasThreadWarnings(orvo->standardError()), orvo->standardError().constData());
}

void TestModulesHttp::updateInstallsModule()
{
    configure("{\"fileLists\":{\"meter\":[\"{base}/gen/2048/modules/meter/index.html\","
              "\"{base}/files/modules/meter/meter.js\"]},"
              "\"files\":{\"/files/modules/meter/meter.js\":\"var meter = 1;\"}}");
    OrvoInstance instance;
    instance.setConfig(QStringLiteral("updates/updateServer"), base() + QLatin1Char('/'));
    QVERIFY(instance.start({QStringLiteral("-r")}));
    QCOMPARE(instance.ajax("func=getUpdateStatus"), QByteArray("{}"));
    QCOMPARE(instance.ajax("func=getListOfInstalledModules"), QByteArray("{\"modules\":{}}"));

    QCOMPARE(instance.ajax("func=startUpdating&modulesList=" + twiceEncoded("[\"meter\"]")),
             QByteArray("{\"ok\":\"Update started\"}"));
    QByteArray status;
    QDeadlineTimer deadline(30000);
    do {
        QTest::qWait(20);
        status = instance.ajax("func=getUpdateStatus");
    } while (status == "{\"ok\":\"In progress\"}" && !deadline.hasExpired());
    QCOMPARE(status, QByteArray("{\"ok\":\"Completed correctly.\"}"));

    QCOMPARE(instance.ajax("func=getListOfInstalledModules"),
             QByteArray("{\"meter\":{\"html\":[\"index.html\"],\"css\":[],\"js\":[\"meter.js\"]}}"));
    QFile js(instance.docroot() + QStringLiteral("/modules/meter/meter.js"));
    QVERIFY(js.open(QIODevice::ReadOnly));
    QCOMPARE(js.readAll(), QByteArray("var meter = 1;"));
    QCOMPARE(QFileInfo(instance.docroot() + QStringLiteral("/modules/meter/index.html")).size(), 2048);
    // The staging folder beside the document root is gone again.
    QVERIFY(!QFileInfo::exists(instance.folder() + QStringLiteral("/tmp")));
    // And the installed page is served.
    auto c = instance.client();
    auto res = c->Get("/modules/meter/meter.js");
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    QVERIFY2(!hasThreadWarnings(instance.standardError()), instance.standardError().constData());
}

QTEST_GUILESS_MAIN(TestModulesHttp)
#include "tst_modules_http.moc"
