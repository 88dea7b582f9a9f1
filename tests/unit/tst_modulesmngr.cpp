#include "modules/modulesmngr.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Lays out entries below `root`: a name ending in "/" is a folder, anything
// else a small file (its folders made on the way).
void layOut(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const QString path = root + QLatin1Char('/') + entry;
        if (entry.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(path));
            continue;
        }
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
}

} // namespace

class TestModulesMngr : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listing_data();
    void listing();
    void severalEntriesAllListed();
    void missingDocumentRoot();
    void relativeRootIsTheApplicationFolder();
};

void TestModulesMngr::listing_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no modules folder") << QStringList{QStringLiteral("index.html")} << QByteArray("{\"modules\":{}}");
    QTest::newRow("modules is a file") << QStringList{QStringLiteral("modules")} << QByteArray("{\"modules\":{}}");
    QTest::newRow("empty modules folder") << QStringList{QStringLiteral("modules/")} << QByteArray("{}");
    QTest::newRow("only files directly in modules")
        << QStringList{QStringLiteral("modules/stray.html")} << QByteArray("{}");
    QTest::newRow("module without page files")
        << QStringList{QStringLiteral("modules/meter/readme.txt"), QStringLiteral("modules/meter/logo.png")}
        << QByteArray("{\"meter\":{\"html\":[],\"css\":[],\"js\":[]}}");
    QTest::newRow("one file of each kind, fixed member order")
        << QStringList{QStringLiteral("modules/meter/meter.js"), QStringLiteral("modules/meter/style.css"),
                       QStringLiteral("modules/meter/index.html")}
        << QByteArray("{\"meter\":{\"html\":[\"index.html\"],\"css\":[\"style.css\"],\"js\":[\"meter.js\"]}}");
    // Whole-name matching: .htm, .html.bak and a bare "html" are no page files;
    // deeper files, folders named like scripts and hidden entries are not listed.
    QTest::newRow("only direct, visible files with the exact extension")
        << QStringList{QStringLiteral("modules/m/page.htm"),       QStringLiteral("modules/m/page.html.bak"),
                       QStringLiteral("modules/m/html"),           QStringLiteral("modules/m/sub/deep.js"),
                       QStringLiteral("modules/m/lib.js/"),        QStringLiteral("modules/m/.hidden.css"),
                       QStringLiteral("modules/m/shown.js"),       QStringLiteral("modules/.hiddenmodule/a.js")}
        << QByteArray("{\"m\":{\"html\":[],\"css\":[],\"js\":[\"shown.js\"]}}");
    QTest::newRow("extension case ignored, name kept")
        << QStringList{QStringLiteral("modules/m/MAIN.CSS"), QStringLiteral("modules/m/Index.Html")}
        << QByteArray("{\"m\":{\"html\":[\"Index.Html\"],\"css\":[\"MAIN.CSS\"],\"js\":[]}}");
    // Latin-1 names pass as single bytes; anything else, even a character that
    // takes two UTF-16 units, becomes one "?".
    QTest::newRow("Latin-1 text")
        << QStringList{QString::fromUtf8("modules/m\u00e9ter/pi\u0119\u00e7.js"),
                       QString::fromUtf8("modules/m\u00e9ter/\U0001F600.css")}
        << QByteArray("{\"m\xe9" "ter\":{\"html\":[],\"css\":[\"?.css\"],\"js\":[\"pi?\xe7.js\"]}}");
}

void TestModulesMngr::listing()
{
    QFETCH(QStringList, entries);
    QFETCH(QByteArray, expected);
    QTemporaryDir root;
    layOut(root.path(), entries);
    ModulesMngr mngr(root.path());
    QCOMPARE(mngr.getListOfInstalledModules(), expected);
}

void TestModulesMngr::severalEntriesAllListed()
{
    // The order is the directory scan's, so compare as parsed JSON.
    QTemporaryDir root;
    layOut(root.path(), {QStringLiteral("modules/a/1.html"), QStringLiteral("modules/a/2.html"),
                         QStringLiteral("modules/a/3.js"), QStringLiteral("modules/b/")});
    ModulesMngr mngr(root.path());
    const QByteArray reply = mngr.getListOfInstalledModules();
    QVERIFY(!reply.contains(' '));
    const QJsonObject obj = QJsonDocument::fromJson(reply).object();
    QCOMPARE(obj.keys(), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
    QStringList html;
    for (const auto &v : obj.value(QStringLiteral("a")).toObject().value(QStringLiteral("html")).toArray())
        html.append(v.toString());
    html.sort();
    QCOMPARE(html, (QStringList{QStringLiteral("1.html"), QStringLiteral("2.html")}));
    QCOMPARE(QJsonDocument(obj.value(QStringLiteral("b")).toObject()).toJson(QJsonDocument::Compact),
             QByteArray("{\"css\":[],\"html\":[],\"js\":[]}"));
}

void TestModulesMngr::missingDocumentRoot()
{
    QTemporaryDir root;
    ModulesMngr mngr(root.path() + QStringLiteral("/nowhere"));
    QCOMPARE(mngr.getListOfInstalledModules(), QByteArray("{\"modules\":{}}"));
}

void TestModulesMngr::relativeRootIsTheApplicationFolder()
{
    // A relative document root is taken from the application folder (here the
    // test's own, writable folder), whatever the working directory is.
    QTemporaryDir inAppFolder(QCoreApplication::applicationDirPath() + QStringLiteral("/docroot-XXXXXX"));
    QVERIFY(inAppFolder.isValid());
    layOut(inAppFolder.path(), {QStringLiteral("modules/rel/x.js")});
    QTemporaryDir elsewhere;
    layOut(elsewhere.path(), {QFileInfo(inAppFolder.path()).fileName() + QStringLiteral("/modules/wrong/y.js")});
    const QString before = QDir::currentPath();
    QDir::setCurrent(elsewhere.path());
    ModulesMngr mngr(QFileInfo(inAppFolder.path()).fileName());
    const QByteArray reply = mngr.getListOfInstalledModules();
    QDir::setCurrent(before);
    QCOMPARE(reply, QByteArray("{\"rel\":{\"html\":[],\"css\":[],\"js\":[\"x.js\"]}}"));
}

QTEST_GUILESS_MAIN(TestModulesMngr)
#include "tst_modulesmngr.moc"
