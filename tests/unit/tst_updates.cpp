#include "modules/updates.h"

#include "support/fixtureprocess.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <httplib.h>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

const QByteArray inProgress("{\"ok\":\"In progress\"}");
const QByteArray completed("{\"ok\":\"Completed correctly.\"}");
const QByteArray replyError("{\"error\":\"Reply error!\"}");
const QByteArray diskError("{\"error\":\"Unable to write to disk!\"}");
const QByteArray parameterError("{\"error\":\"Parameter error!\"}");

// The fixture server's generated content: byte i is i % 251.
QByteArray pattern(qsizetype size)
{
    QByteArray out(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        out[i] = char(i % 251);
    return out;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

// Every file below `root` with its content hash, to show a folder was not touched.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString rel = QDir(root).relativeFilePath(it.filePath());
        files.insert(rel, it.fileInfo().isDir()
                              ? QByteArray("<dir>")
                              : QCryptographicHash::hash(readFile(it.filePath()), QCryptographicHash::Sha1));
    }
    return files;
}

ParameterMap modulesParam(const QByteArray &jsonList)
{
    // The handler's map holds the value decoded once; pages encode it twice.
    return ParameterMap{{"modulesList", QUrl::toPercentEncoding(QString::fromUtf8(jsonList))}};
}

// A document root, the staging folder beside it and an Updates object on them.
struct Site
{
    explicit Site(const QString &server)
    {
        QSettings ini(base.path() + QStringLiteral("/config.ini"), QSettings::IniFormat);
        ini.setValue(QStringLiteral("docroot/path"), docroot());
        ini.setValue(QStringLiteral("updates/updateServer"), server);
        ini.sync();
        QDir().mkpath(docroot());
        settings = std::make_unique<QSettings>(base.path() + QStringLiteral("/config.ini"), QSettings::IniFormat);
        settings->beginGroup(QStringLiteral("docroot"));
        updates = std::make_unique<Updates>(settings.get());
    }
    QString docroot() const { return base.path() + QStringLiteral("/www"); }
    QString staging() const { return base.path() + QStringLiteral("/tmp"); }

    QTemporaryDir base;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<Updates> updates;
};

} // namespace

class TestUpdates : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void relativePathFromUrl_data();
    void relativePathFromUrl();

    void refusedStarts_data();
    void refusedStarts();
    void installsEveryModuleInOrder();
    void stoppedRunLeavesDocrootAlone_data();
    void stoppedRunLeavesDocrootAlone();
    void listThatIsNoArrayLetsTheRunGoOn();
    void listIsReadUpToFirstZeroByte();
    void stalledTransferStopsTheRun();
    void failedCopyIsReported();
    void shortWriteIsReported();
    void largeFileIsStreamedWhole();
    void redirectedFileKeepsRequestedPath();
    void foreignStagingFolderIsLeftAlone();
    void nextRunStartsClean();
    void newStartDiscardsEarlierRun();

private:
    void configure(const QByteArray &json);
    QJsonArray requests();
    QStringList requestedPaths();
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }
    // Waits until the run has left "In progress" and returns its status.
    QByteArray finish(Updates &updates, int timeoutMs = 30000);

    FixtureProcess server;
    int port = 0;
};

void TestUpdates::initTestCase()
{
    const QString ready = server.startPython(QStringLiteral("update_server.py"), {}, QStringLiteral("ready port="));
    QVERIFY2(!ready.isEmpty(), "update server did not start");
    port = ready.section(QLatin1Char('='), -1).toInt();
    QVERIFY(port > 0);
}

void TestUpdates::init()
{
    configure("{\"fileLists\":{},\"files\":{}}");
}

void TestUpdates::configure(const QByteArray &json)
{
    httplib::Client c("127.0.0.1", port);
    QVERIFY(c.Post("/_config", json.toStdString(), "application/json"));
    QVERIFY(c.Post("/_reset", "", "text/plain"));
}

QJsonArray TestUpdates::requests()
{
    httplib::Client c("127.0.0.1", port);
    auto res = c.Get("/_requests");
    return res ? QJsonDocument::fromJson(QByteArray::fromStdString(res->body)).array() : QJsonArray();
}

QStringList TestUpdates::requestedPaths()
{
    QStringList paths;
    for (const auto &r : requests())
        paths.append(r.toObject().value(QStringLiteral("path")).toString());
    return paths;
}

QByteArray TestUpdates::finish(Updates &updates, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (updates.getUpdateStatus() == inProgress && !deadline.hasExpired())
        QTest::qWait(10);
    return updates.getUpdateStatus();
}

void TestUpdates::relativePathFromUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");

    QTest::newRow("modules") << "http://h/dl/modules/meter/index.html" << "/modules/meter/index.html";
    QTest::newRow("root") << "http://h/a/root/Orvo_setup" << "/root/Orvo_setup";
    QTest::newRow("install") << "http://h:81/install/x/y.bin" << "/install/x/y.bin";
    QTest::newRow("first marker wins") << "http://h/root/modules/a.js" << "/root/modules/a.js";
    QTest::newRow("host that is a marker word") << "http://modules/m/a.js" << "/modules/m/a.js";
    QTest::newRow("path named in the query") << "http://h/get?f=/modules/m/a.js" << "/modules/m/a.js";
    QTest::newRow("query stays in the name") << "http://h/modules/m/a.js?v=2" << "/modules/m/a.js?v=2";
    QTest::newRow("fragment dropped") << "http://h/modules/m/a.js#x/../.." << "/modules/m/a.js";
    QTest::newRow("decoded once") << "http://h/modules/m/my%20page%252e.html" << "/modules/m/my page%2e.html";
    QTest::newRow("double slash") << "http://h/modules//m/a.js" << "/modules/m/a.js";
    QTest::newRow("marker case matters") << "http://h/Modules/m/a.js" << "";
    QTest::newRow("no marker") << "http://h/files/m/a.js" << "";
    QTest::newRow("parent piece") << "http://h/modules/../../etc/passwd" << "";
    QTest::newRow("dot piece") << "http://h/modules/./a.js" << "";
    QTest::newRow("encoded parent") << "http://h/modules/%2e%2E/x.js" << "";
    QTest::newRow("encoded slash") << "http://h/modules/a%2F..%2F..%2Fb" << "";
    QTest::newRow("encoded backslash") << "http://h/modules/..%5C..%5Cb" << "";
    QTest::newRow("encoded NUL") << "http://h/modules/a%00.js" << "";
    QTest::newRow("parent in the query") << "http://h/modules/a.js?x=/../../b" << "";
    QTest::newRow("folder, no file") << "http://h/modules/m/" << "";
    QTest::newRow("not a URL") << "http://[::1/modules/a.js" << "";
    QTest::newRow("https") << "https://h/modules/a.js" << "/modules/a.js";
    QTest::newRow("local file") << "file:///root/notes.txt" << "";
    QTest::newRow("other scheme") << "ftp://h/modules/a.js" << "";
}

void TestUpdates::relativePathFromUrl()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QCOMPARE(Updates::relativePathFromUrl(url), expected);
}

void TestUpdates::refusedStarts_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("decodedValue");

    QTest::newRow("missing") << false << QByteArray();
    QTest::newRow("empty text") << true << QByteArray();
    QTest::newRow("empty array") << true << QByteArray("[]");
    QTest::newRow("object") << true << QByteArray("{\"0\":\"meter\"}");
    QTest::newRow("script, not JSON") << true << QByteArray("['meter']");
    QTest::newRow("bare word") << true << QByteArray("meter");
}

void TestUpdates::refusedStarts()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, decodedValue);
    Site site(base() + QLatin1Char('/'));
    const ParameterMap params = present ? modulesParam(decodedValue) : ParameterMap{};
    QCOMPARE(site.updates->startUpdating(params), parameterError);
    QCOMPARE(site.updates->getUpdateStatus(), QByteArray("{}"));
    QTest::qWait(100);
    QVERIFY(requests().isEmpty());
    QVERIFY(!QFileInfo::exists(site.staging()));
}

void TestUpdates::installsEveryModuleInOrder()
{
    configure("{\"fileLists\":{"
              "\"meter\":[\"{base}/gen/3000/modules/meter/index.html\",\"{base}/files/modules/meter/js/meter.js\"],"
              "\"nothing\":[],"
              "\"setup\":[\"{base}/gen/10/root/Orvo_setup\"]},"
              "\"files\":{\"/files/modules/meter/js/meter.js\":\"var v = 1;\"}}");
    // No slash at the end of the server's address: one is put in.
    Site site(base());
    writeFile(site.docroot() + QStringLiteral("/modules/meter/index.html"), "old page");
    writeFile(site.docroot() + QStringLiteral("/modules/other/keep.html"), "kept");

    QCOMPARE(site.updates->startUpdating(modulesParam("[\"meter\",\"nothing\",\"setup\"]")),
             QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(site.updates->getUpdateStatus(), inProgress);
    QCOMPARE(finish(*site.updates), completed);

    QCOMPARE(readFile(site.docroot() + QStringLiteral("/modules/meter/index.html")), pattern(3000));
    QCOMPARE(readFile(site.docroot() + QStringLiteral("/modules/meter/js/meter.js")), QByteArray("var v = 1;"));
    QCOMPARE(readFile(site.docroot() + QStringLiteral("/root/Orvo_setup")), pattern(10));
    QCOMPARE(readFile(site.docroot() + QStringLiteral("/modules/other/keep.html")), QByteArray("kept"));
    QVERIFY(!QFileInfo::exists(site.staging()));
    QVERIFY(!QFileInfo::exists(site.docroot() + QLatin1Char('/') + QLatin1String(Updates::stagingMarkerName)));

    // One request at a time, modules in the page's order, files in the list's order.
    QCOMPARE(requestedPaths(), (QStringList{"/fileList?moduleName=meter", "/gen/3000/modules/meter/index.html",
                                            "/files/modules/meter/js/meter.js", "/fileList?moduleName=nothing",
                                            "/fileList?moduleName=setup", "/gen/10/root/Orvo_setup"}));
    for (const auto &r : requests())
        QCOMPARE(r.toObject().value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
}

void TestUpdates::stoppedRunLeavesDocrootAlone_data()
{
    QTest::addColumn<QByteArray>("fileList");
    QTest::addColumn<QByteArray>("listStatus");
    QTest::addColumn<bool>("serverDown");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("neverRequested");

    const QByteArray good = "\"{base}/gen/100/modules/m/good.js\",";
    QTest::newRow("file not found") << "[" + good + "\"{base}/status/404/modules/m/a.js\"]" << QByteArray()
                                    << false << replyError << QString();
    QTest::newRow("file server error") << "[" + good + "\"{base}/status/500/modules/m/a.js\"]" << QByteArray()
                                       << false << replyError << QString();
    QTest::newRow("connection dropped mid-body")
        << "[" + good + "\"{base}/drop/50000/modules/m/a.bin\"]" << QByteArray() << false << replyError
        << QString();
    QTest::newRow("path leaving the staging folder")
        << "[" + good + "\"{base}/gen/5/modules/../../evil.js\"]" << QByteArray() << false << replyError
        << QStringLiteral("evil.js");
    QTest::newRow("no marker piece") << "[" + good + "\"{base}/gen/5/files/a.js\"]" << QByteArray() << false
                                     << replyError << QStringLiteral("files/a.js");
    QTest::newRow("file where a folder must go")
        << "[" + good + "\"{base}/gen/5/modules/m/a\",\"{base}/gen/5/modules/m/a/b.js\"]" << QByteArray() << false
        << diskError << QStringLiteral("a/b.js");
    QTest::newRow("file list not found") << QByteArray() << QByteArray() << false
                                         << QByteArray("{\"error\":\"Reply error!\",\"errorNo\":203}") << QString();
    QTest::newRow("file list server error") << QByteArray("[]") << QByteArray("500") << false
                                            << QByteArray("{\"error\":\"Reply error!\",\"errorNo\":401}") << QString();
    QTest::newRow("server down") << QByteArray("[]") << QByteArray() << true
                                 << QByteArray("{\"error\":\"Reply error!\",\"errorNo\":1}") << QString();
}

void TestUpdates::stoppedRunLeavesDocrootAlone()
{
    QFETCH(QByteArray, fileList);
    QFETCH(QByteArray, listStatus);
    QFETCH(bool, serverDown);
    QFETCH(QByteArray, expected);
    QFETCH(QString, neverRequested);

    QByteArray config = "{\"fileLists\":{";
    if (!fileList.isEmpty())
        config += "\"m\":" + fileList;
    config += "}";
    if (!listStatus.isEmpty())
        config += ",\"fileListStatus\":{\"m\":" + listStatus + "}";
    config += "}";
    configure(config);

    Site site(serverDown ? QStringLiteral("http://127.0.0.1:%1/").arg(freeLoopbackPort()) : base() + QLatin1Char('/'));
    writeFile(site.docroot() + QStringLiteral("/modules/m/good.js"), "installed before");
    const auto before = snapshot(site.docroot());

    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates), expected);
    QTest::qWait(50); // nothing further may follow a stop
    QCOMPARE(site.updates->getUpdateStatus(), expected);
    QCOMPARE(snapshot(site.docroot()), before);
    if (!neverRequested.isEmpty()) {
        for (const QString &path : requestedPaths())
            QVERIFY2(!path.endsWith(neverRequested), qPrintable(path));
        QVERIFY(!QFileInfo::exists(site.base.path() + QStringLiteral("/evil.js")));
    }
}

void TestUpdates::listThatIsNoArrayLetsTheRunGoOn()
{
    // The broken list is reported while the run goes on; the end replaces it.
    configure("{\"fileLists\":{\"broken\":\"<html>oops</html>\","
              "\"slow\":[\"{base}/drip/0.2/5/modules/slow/a.bin\"]}}");
    Site site(base() + QLatin1Char('/'));
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"broken\",\"slow\"]")),
             QByteArray("{\"ok\":\"Update started\"}"));
    QTRY_COMPARE_WITH_TIMEOUT(site.updates->getUpdateStatus(), replyError, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(site.updates->getUpdateStatus(), completed, 20000);
    QCOMPARE(readFile(site.docroot() + QStringLiteral("/modules/slow/a.bin")), pattern(5));
}

void TestUpdates::listIsReadUpToFirstZeroByte()
{
    configure("{\"fileLists\":{\"m\":\"[\\\"{base}/gen/5/modules/m/a.js\\\"]\\u0000trailing bytes\"}}");
    Site site(base() + QLatin1Char('/'));
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates), completed);
    QCOMPARE(readFile(site.docroot() + QStringLiteral("/modules/m/a.js")), pattern(5));
}

void TestUpdates::stalledTransferStopsTheRun()
{
    // A server that stops sending does not leave the run "In progress" for ever.
    configure("{\"fileLists\":{\"m\":[\"{base}/drip/2/3/modules/m/a.bin\"]}}");
    Site site(base() + QLatin1Char('/'));
    site.updates->setTransferTimeout(300);
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates), replyError);
    QVERIFY(!QFileInfo::exists(site.docroot() + QStringLiteral("/modules/m/a.bin")));
}

void TestUpdates::failedCopyIsReported()
{
    configure("{\"fileLists\":{\"m\":[\"{base}/gen/10/modules/m/a.js\",\"{base}/gen/20/modules/m/b.js\"]}}");
    Site site(base() + QLatin1Char('/'));
    // A non-empty folder where the downloaded file must go cannot be replaced.
    writeFile(site.docroot() + QStringLiteral("/modules/m/b.js/inside.txt"), "x");
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates), diskError);
    // The staged files stay, and the next start may still clear them away.
    QCOMPARE(readFile(site.staging() + QStringLiteral("/modules/m/b.js")), pattern(20));
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates), diskError);
}

void TestUpdates::shortWriteIsReported()
{
    configure("{\"fileLists\":{\"m\":[\"{base}/big/3MB/modules/m/big.bin\"]}}");
    Site site(base() + QLatin1Char('/'));
    const auto before = snapshot(site.docroot());

    // A file size limit makes the disk refuse part of the download.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = 1024 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    const QByteArray status = finish(*site.updates);
    setrlimit(RLIMIT_FSIZE, &old);

    QCOMPARE(status, diskError);
    QCOMPARE(snapshot(site.docroot()), before);
}

void TestUpdates::largeFileIsStreamedWhole()
{
    configure("{\"fileLists\":{\"m\":[\"{base}/big/24MB/modules/m/big.bin\"]}}");
    Site site(base() + QLatin1Char('/'));
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates, 60000), completed);
    QCOMPARE(readFile(site.docroot() + QStringLiteral("/modules/m/big.bin")) == pattern(24 * 1024 * 1024), true);
}

void TestUpdates::redirectedFileKeepsRequestedPath()
{
    configure("{\"fileLists\":{\"m\":[\"{base}/modules/m/moved.js\"]},"
              "\"files\":{\"/modules/m/moved.js\":{\"status\":302,\"body\":\"moved\","
              "\"headers\":{\"Location\":\"{base}/gen/77/elsewhere/x.bin\"}}}}");
    Site site(base() + QLatin1Char('/'));
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates), completed);
    QCOMPARE(readFile(site.docroot() + QStringLiteral("/modules/m/moved.js")), pattern(77));
}

void TestUpdates::foreignStagingFolderIsLeftAlone()
{
    configure("{\"fileLists\":{\"m\":[]}}");
    Site site(base() + QLatin1Char('/'));
    writeFile(site.staging() + QStringLiteral("/user-notes.txt"), "mine");
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), diskError);
    QCOMPARE(site.updates->getUpdateStatus(), QByteArray("{}"));
    QCOMPARE(readFile(site.staging() + QStringLiteral("/user-notes.txt")), QByteArray("mine"));
    QTest::qWait(100);
    QVERIFY(requests().isEmpty());
}

void TestUpdates::nextRunStartsClean()
{
    configure("{\"fileLists\":{\"m\":[\"{base}/gen/10/modules/m/a.js\",\"{base}/status/404/modules/m/b.js\"]}}");
    Site site(base() + QLatin1Char('/'));
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates), replyError);
    QVERIFY(QFileInfo::exists(site.staging() + QStringLiteral("/modules/m/a.js")));

    // An empty module installs nothing, and the first run's partial download is gone.
    configure("{\"fileLists\":{\"m\":[]}}");
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"m\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates), completed);
    QVERIFY(!QFileInfo::exists(site.docroot() + QStringLiteral("/modules/m/a.js")));
    QVERIFY(!QFileInfo::exists(site.staging()));
}

void TestUpdates::newStartDiscardsEarlierRun()
{
    configure("{\"fileLists\":{\"slow\":[\"{base}/drip/0.1/15/modules/slow/late.bin\"],"
              "\"fast\":[\"{base}/gen/40/modules/fast/a.js\"]}}");
    Site site(base() + QLatin1Char('/'));
    QCOMPARE(site.updates->startUpdating(modulesParam("[\"slow\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QTRY_VERIFY_WITH_TIMEOUT(requestedPaths().contains(QStringLiteral("/drip/0.1/15/modules/slow/late.bin")), 10000);

    // A refused start ends "In progress" for the browser, but not the run.
    QCOMPARE(site.updates->startUpdating(modulesParam("[]")), parameterError);
    QCOMPARE(site.updates->getUpdateStatus(), QByteArray("{}"));

    QCOMPARE(site.updates->startUpdating(modulesParam("[\"fast\"]")), QByteArray("{\"ok\":\"Update started\"}"));
    QCOMPARE(finish(*site.updates), completed);
    QCOMPARE(readFile(site.docroot() + QStringLiteral("/modules/fast/a.js")), pattern(40));
    QTest::qWait(2000); // longer than the first run's file takes, had it been let through
    QCOMPARE(site.updates->getUpdateStatus(), completed);
    QVERIFY(!QFileInfo::exists(site.docroot() + QStringLiteral("/modules/slow")));
    QVERIFY(!QFileInfo::exists(site.staging()));
}

QTEST_GUILESS_MAIN(TestUpdates)
#include "tst_updates.moc"
