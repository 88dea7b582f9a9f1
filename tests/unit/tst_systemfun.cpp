#include "system/systemfun.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <thread>
#include <vector>

namespace {

// pdfinfo, pdftotext and friends on a PDF held in memory.
QString runPoppler(const QString &tool, const QByteArray &pdf, const QStringList &extraArguments = {})
{
    QTemporaryFile file;
    if (!file.open())
        return QString();
    file.write(pdf);
    file.flush();
    QProcess p;
    QStringList arguments = extraArguments;
    arguments << file.fileName();
    if (tool == QLatin1String("pdftotext"))
        arguments << QStringLiteral("-"); // to standard output
    p.start(tool, arguments);
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return QString();
    return QString::fromUtf8(p.readAllStandardOutput());
}

int pageCount(const QString &info)
{
    const auto m = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(info);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

QString tableReport(int rows)
{
    QString html = QStringLiteral("<html><body><h1>Register report</h1><table border=1 width=100%>"
                                  "<tr><th>Address</th><th>Value</th><th>Unit</th></tr>");
    for (int i = 0; i < rows; ++i)
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>V</td></tr>").arg(100 + i).arg(230.0 + i * 0.1, 0, 'f', 1);
    html += QStringLiteral("</table><h2>End of report</h2></body></html>");
    return html;
}

} // namespace

class TestSystemFun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void generalInfo_data();
    void generalInfo();
    void generalInfoText();

    void bootloaderArguments_data();
    void bootloaderArguments();

    void openableAddress_data();
    void openableAddress();

    void pdfLayout();
    void pdfOnSeveralThreads();
    void pdfFetchesNothing();

private:
    QTemporaryDir configHome;
    QTemporaryDir scratch;
};

void TestSystemFun::initTestCase()
{
    // The per-user store must be this test's own before anything opens it.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    QCoreApplication::setOrganizationName(QStringLiteral("Brask"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvo"));
}

void TestSystemFun::init()
{
    QSettings(QStringLiteral("Brask"), QStringLiteral("Orvo")).clear();
}

void TestSystemFun::generalInfo_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<int>("runAsAdmin");
    const QString suffix = platform::executableSuffix();
    QTest::newRow("plain") << QStringLiteral("/opt/orvo/orvo") + suffix << 0;
    QTest::newRow("elevated copy") << QStringLiteral("/opt/orvo/Orvo_admin") + suffix << 1;
    QTest::newRow("capital A") << QStringLiteral("/opt/orvo/Orvo_Admin") + suffix << 0;
    QTest::newRow("admin folder") << QStringLiteral("/home/admin/orvo") + suffix << 0;
    QTest::newRow("admin with more after") << QStringLiteral("/opt/orvo/Orvo_admin") + suffix + QStringLiteral(".bak") << 0;
    QTest::newRow("bare name") << QStringLiteral("admin") + suffix << 1;
}

void TestSystemFun::generalInfo()
{
    QFETCH(QString, executable);
    QFETCH(int, runAsAdmin);

    const QByteArray reply = SystemFun::generalInfo(executable);
    QJsonParseError error{};
    const QJsonObject info = QJsonDocument::fromJson(reply, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(info.size(), 10);
    QCOMPARE(info.value(QStringLiteral("runAsAdmin")).toInt(-1), runAsAdmin);
    QCOMPARE(info.value(QStringLiteral("ver")).toString(), QStringLiteral("0.2.04"));
    QCOMPARE(info.value(QStringLiteral("osType")).toString(), QStringLiteral("win"));
    QCOMPARE(info.value(QStringLiteral("osVer")).toInt(-1), platform::osVersionCode());
    QVERIFY(info.value(QStringLiteral("copy")).toString().contains(QStringLiteral("Copyright")));
}

void TestSystemFun::generalInfoText()
{
    // Pages may compare pieces of the text, so its order and blanks are kept as they are.
    const QByteArray reply = SystemFun::generalInfo(QStringLiteral("/opt/orvo/orvo"));
    QVERIFY(reply.startsWith("{\"ver\":\"0.2.04\",\"canUpdate\":1,\"canAddNewModules\":1,\"canUpdateFirmware\":1,"
                             "\"canSendMailReport\":1, \"copy\":\"<"));
    QVERIFY(reply.endsWith("</div>\", \"langList\":[\"EN\",\"PL\",\"ESP\",\"DE\",\"IT\"],\"osType\":\"win\",\"osVer\":"
                           + QByteArray::number(platform::osVersionCode()) + ",\"runAsAdmin\":0}"));
    // Attribute quotes inside the fragment arrive escaped.
    QVERIFY(reply.contains("class=\\\"about\\\""));
}

void TestSystemFun::bootloaderArguments_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QStringList>("arguments");

    const auto row = [](const char *name, const QVariantMap &stored, const QStringList &arguments) {
        QTest::newRow(name) << stored << arguments;
    };
    row("nothing stored", {}, {"-1", "2", "3", "0", "0"});
    row("last connection", {{"Selected_Port", 3}, {"baudRate", 7}, {"mode", 1}, {"slaveID", 17}, {"Brask_ID", 123456}},
        {"2", "9", "4", "17", "123456"});
    row("first port, first mode", {{"Selected_Port", 1}, {"mode", 0}}, {"0", "2", "3", "0", "0"});
    row("last mode", {{"mode", 3}}, {"-1", "2", "6", "0", "0"});
    row("1200 has no code", {{"baudRate", 0}}, {"-1", "2", "3", "0", "0"});
    row("2400", {{"baudRate", 1}}, {"-1", "0", "3", "0", "0"});
    row("9600", {{"baudRate", 3}}, {"-1", "2", "3", "0", "0"});
    row("38400", {{"baudRate", 5}}, {"-1", "6", "3", "0", "0"});
    row("57600", {{"baudRate", 6}}, {"-1", "7", "3", "0", "0"});
    row("230400 has no code", {{"baudRate", 8}}, {"-1", "2", "3", "0", "0"});
    row("1000000 has no code", {{"baudRate", 10}}, {"-1", "2", "3", "0", "0"});
    row("index past the table", {{"baudRate", 11}}, {"-1", "2", "3", "0", "0"});
    row("negative index", {{"baudRate", -1}}, {"-1", "2", "3", "0", "0"});
    // A port kept as a device path (its first three characters cut) is not a number.
    row("device path port", {{"Selected_Port", "v/ttyUSB0"}}, {"-1", "2", "3", "0", "0"});
    row("numbers kept as text", {{"Selected_Port", "2"}, {"slaveID", "247"}, {"Brask_ID", "99"}},
        {"1", "2", "3", "247", "99"});
    row("16-bit wrap", {{"Selected_Port", 32769}, {"slaveID", 70000}, {"mode", 32766}},
        {"-32768", "2", "-32767", "4464", "0"});
    row("32-bit wrap", {{"Brask_ID", qlonglong(4294967295LL)}}, {"-1", "2", "3", "0", "-1"});
    row("32-bit wrap, large", {{"Brask_ID", qlonglong(3000000000LL)}}, {"-1", "2", "3", "0", "-1294967296"});
}

void TestSystemFun::bootloaderArguments()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QStringList, arguments);
    {
        QSettings store(QStringLiteral("Brask"), QStringLiteral("Orvo"));
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            store.setValue(it.key(), it.value());
    }
    SystemFun systemFun;
    QCOMPARE(systemFun.bootloaderArguments(), arguments);
}

void TestSystemFun::openableAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("openable");
    QTest::newRow("ftp") << "ftp://device.local/logs" << true;
    QTest::newRow("ftp, upper case") << "FTP://192.168.1.20" << true;
    QTest::newRow("ftps with user") << "ftps://user@host:990/" << true;
    QTest::newRow("sftp") << "sftp://host/home" << true;
    QTest::newRow("scheme alone") << "ftp://" << false;
    QTest::newRow("http") << "http://example.com/" << false;
    QTest::newRow("file url") << "file:///tmp" << false;
    QTest::newRow("javascript") << "javascript:alert(1)" << false;
    QTest::newRow("an option") << "--help" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("line break") << "ftp://host/\nx" << false;
    QTest::newRow("existing folder") << scratch.path() << true;
    QTest::newRow("missing folder") << scratch.path() + "/nope" << false;
    QTest::newRow("relative folder") << "." << false;
    QTest::newRow("a file, not a folder") << QCoreApplication::applicationFilePath() << false;
}

void TestSystemFun::openableAddress()
{
    QFETCH(QString, address);
    QFETCH(bool, openable);
    QCOMPARE(SystemFun::isOpenableAddress(address), openable);
}

void TestSystemFun::pdfLayout()
{
    SystemFun systemFun;
    const QString html = tableReport(150).replace(
        QStringLiteral("<h1>"), QStringLiteral("<p align=right>RIGHTEDGE</p><h1>"));
    const QByteArray pdf = systemFun.htmlToPdf(html);
    QVERIFY(pdf.startsWith("%PDF-"));

    const QString info = runPoppler(QStringLiteral("pdfinfo"), pdf);
    // A4 is 595.28 x 841.89 pt; the PDF writer states the sheet in whole points.
    const auto size = QRegularExpression(QStringLiteral("Page size:\\s+([\\d.]+) x ([\\d.]+) pts")).match(info);
    QVERIFY2(size.hasMatch(), qPrintable(info));
    QVERIFY2(qAbs(size.captured(1).toDouble() - 595.28) < 1 && qAbs(size.captured(2).toDouble() - 841.89) < 1,
             qPrintable(info));
    QVERIFY2(pageCount(info) >= 3, qPrintable(info));

    const QString text = runPoppler(QStringLiteral("pdftotext"), pdf);
    QVERIFY(text.contains(QStringLiteral("Register report")));
    QVERIFY(text.contains(QStringLiteral("249"))); // the last row's address
    QVERIFY(text.contains(QStringLiteral("End of report")));

    // No side margins: right-aligned text ends near the sheet's right edge. The
    // 4 mm top margin (11.3 pt) plus the document's own 4 px keeps the first
    // line just below the top.
    const QString boxes = runPoppler(QStringLiteral("pdftotext"), pdf, {QStringLiteral("-bbox"), QStringLiteral("-f"),
                                                                        QStringLiteral("1"), QStringLiteral("-l"),
                                                                        QStringLiteral("1")});
    const auto word = QRegularExpression(QStringLiteral(
                                             "xMin=\"([\\d.]+)\" yMin=\"([\\d.]+)\" xMax=\"([\\d.]+)\" yMax=\"[\\d.]+\">RIGHTEDGE<"))
                          .match(boxes);
    QVERIFY2(word.hasMatch(), qPrintable(boxes.left(2000)));
    const double xMax = word.captured(3).toDouble();
    const double yMin = word.captured(2).toDouble();
    QVERIFY2(xMax > 585 && xMax <= 595.28, qPrintable(word.captured(0)));
    QVERIFY2(yMin > 11 && yMin < 22, qPrintable(word.captured(0)));
}

void TestSystemFun::pdfOnSeveralThreads()
{
    // Requests are served on plain threads of the HTTP library, several at once.
    SystemFun systemFun;
    constexpr int threads = 6;
    std::vector<QByteArray> results(threads);
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&, i] {
            results[static_cast<size_t>(i)] = systemFun.htmlToPdf(
                tableReport(60 + i).replace(QStringLiteral("Register report"), QStringLiteral("Report %1").arg(i)));
        });
    }
    for (auto &w : workers)
        w.join();
    for (int i = 0; i < threads; ++i) {
        const QByteArray &pdf = results[static_cast<size_t>(i)];
        QVERIFY2(pdf.startsWith("%PDF-"), qPrintable(QString::number(i)));
        const QString text = runPoppler(QStringLiteral("pdftotext"), pdf);
        QVERIFY2(text.contains(QStringLiteral("Report %1").arg(i)), qPrintable(text.left(200)));
    }
}

void TestSystemFun::pdfFetchesNothing()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(listener.serverPort());

    const QString html = QStringLiteral("<html><head><link rel=stylesheet href=\"%1/style.css\">"
                                        "</head><body>"
                                        "<p>Before</p><img src=\"%1/x.png\" width=50 height=50>"
                                        "<table background=\"%1/bg.png\"><tr><td>Cell</td></tr></table>"
                                        "<p>After</p></body></html>")
                             .arg(base);
    SystemFun systemFun;
    const QByteArray pdf = systemFun.htmlToPdf(html);
    QVERIFY(pdf.startsWith("%PDF-"));
    QVERIFY(runPoppler(QStringLiteral("pdftotext"), pdf).contains(QStringLiteral("After")));
    QVERIFY(!listener.waitForNewConnection(300));
    QVERIFY(!listener.hasPendingConnections());
}

QTEST_MAIN(TestSystemFun)
#include "tst_systemfun.moc"
