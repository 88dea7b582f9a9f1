// Start-up, the single-instance guard, the ways an instance ends, and
// requests from many clients at once, all against the real binary.
#include "fixtures/modbus_slave.h"
#include "orvoinstance.h"
#include "rawhttp.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <signal.h>
#include <thread>

namespace {

bool waitForExit(QProcess *p, int ms = 10000)
{
    return p->state() == QProcess::NotRunning || p->waitForFinished(ms);
}

bool waitForCalls(const OrvoInstance &orvo, const QString &program, int count = 1, int ms = 5000)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (orvo.fakeCalls(program).size() >= count)
            return true;
        QThread::msleep(20);
    }
    return false;
}

} // namespace

class TstSpine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondInstanceOpensTheBrowserAndEnds()
    {
        OrvoInstance orvo;
        QVERIFY(orvo.start({QStringLiteral("-r")}));
        const QString url = QStringLiteral("http://127.0.0.1:%1").arg(orvo.port());

        // The port in config.ini at the moment of the second start is the one used.
        orvo.setConfig(QStringLiteral("listener/port"), QStringLiteral("12345"));
        orvo.writeConfig();
        std::unique_ptr<QProcess> second(orvo.startRaw());
        QVERIFY(waitForExit(second.get()));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(!second->readAllStandardOutput().contains("listening"));
        QVERIFY(waitForCalls(orvo, QStringLiteral("xdg-open")));
        QCOMPARE(orvo.fakeCalls(QStringLiteral("xdg-open")), QStringList{QStringLiteral("http://127.0.0.1:12345")});

        // Without a port in config.ini the second start points at port 0.
        QFile::remove(orvo.configPath());
        QFile f(orvo.configPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[docroot]\npath=www\n");
        f.close();
        std::unique_ptr<QProcess> third(orvo.startRaw());
        QVERIFY(waitForExit(third.get()));
        QCOMPARE(third->exitCode(), 0);
        QVERIFY(waitForCalls(orvo, QStringLiteral("xdg-open"), 2));
        QCOMPARE(orvo.fakeCalls(QStringLiteral("xdg-open")).last(), QStringLiteral("http://127.0.0.1:0"));

        // The first instance still serves.
        auto res = orvo.client()->Get("/");
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        Q_UNUSED(url);
    }

    void missingConfigIsFatal()
    {
        OrvoInstance orvo;
        std::unique_ptr<QProcess> p(orvo.startRaw());
        QVERIFY(waitForExit(p.get()));
        QVERIFY(p->exitStatus() != QProcess::NormalExit || p->exitCode() != 0);
        QVERIFY(p->readAllStandardError().contains("Cannot find config file " + orvo.configPath().toLocal8Bit()));
        QVERIFY(orvo.fakeCalls(QStringLiteral("xdg-open")).isEmpty());
        // Nothing was created: no guard is held, so a start with a config works at once.
        QVERIFY(orvo.start({QStringLiteral("-r")}));
        QCOMPARE(orvo.stop(), 0);
    }

    void quietStart_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("quiet");
        QTest::newRow("-r") << QStringList{QStringLiteral("-r")} << true;
        QTest::newRow("no argument") << QStringList{} << false;
        QTest::newRow("-R") << QStringList{QStringLiteral("-R")} << false;
        QTest::newRow("-rr") << QStringList{QStringLiteral("-rr")} << false;
        QTest::newRow("/r") << QStringList{QStringLiteral("/r")} << false;
        QTest::newRow("-r later") << QStringList{QStringLiteral("x"), QStringLiteral("-r")} << false;
    }

    void quietStart()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, quiet);
        OrvoInstance orvo;
        QVERIFY(orvo.start(args));
        if (quiet) {
            QThread::msleep(300);
            QVERIFY(orvo.fakeCalls(QStringLiteral("xdg-open")).isEmpty());
            QVERIFY(!orvo.standardError().contains("Program is listening on port"));
        } else {
            QVERIFY(waitForCalls(orvo, QStringLiteral("xdg-open")));
            QCOMPARE(orvo.fakeCalls(QStringLiteral("xdg-open")),
                     QStringList{QStringLiteral("http://127.0.0.1:%1").arg(orvo.port())});
        }
        QCOMPARE(orvo.stop(), 0);
    }

    void guardGoesWithAKilledProcess()
    {
        OrvoInstance orvo;
        QVERIFY(orvo.start({QStringLiteral("-r")}));
        ::kill(static_cast<pid_t>(orvo.process().processId()), SIGKILL);
        QVERIFY(waitForExit(&orvo.process()));
        QVERIFY2(orvo.start({QStringLiteral("-r")}), orvo.standardError().constData());
        QCOMPARE(orvo.stop(), 0);
    }

    void portTakenKeepsRunning()
    {
        OrvoInstance orvo;
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, static_cast<quint16>(orvo.port())));
        orvo.writeConfig();
        std::unique_ptr<QProcess> p(orvo.startRaw());
        QDeadlineTimer deadline(10000);
        QByteArray err;
        while (!deadline.hasExpired() && !err.contains("Port already in use!")) {
            p->waitForReadyRead(100);
            err += p->readAllStandardError();
        }
        QVERIFY2(err.contains(QStringLiteral("Cannot bind on port: %1. Port already in use!").arg(orvo.port()).toUtf8()),
                 err.constData());
        QCOMPARE(p->state(), QProcess::Running);
        QVERIFY(orvo.fakeCalls(QStringLiteral("xdg-open")).isEmpty());
        ::kill(static_cast<pid_t>(p->processId()), SIGTERM);
        QVERIFY(p->waitForFinished(10000));
        QCOMPARE(p->exitCode(), 0);
    }

    void handOvers_data()
    {
        QTest::addColumn<QByteArray>("func");
        QTest::addColumn<QString>("started");
        QTest::newRow("runAsAdministrator") << QByteArray("runAsAdministrator") << QStringLiteral("/Orvo_admin");
        QTest::newRow("runAutoUpdate") << QByteArray("runAutoUpdate") << QStringLiteral("/www/root/Orvo_setup");
    }

    void handOvers()
    {
        QFETCH(QByteArray, func);
        QFETCH(QString, started);
        OrvoInstance orvo;
        if (func == "runAutoUpdate")
            orvo.writeDocFile(QStringLiteral("root/Orvo_setup"), "#!/bin/sh\n");
        QVERIFY(orvo.start({QStringLiteral("-r")}));
        // Emitted on a worker thread: the answer still goes out, empty, then the main thread hands over.
        int status = 0;
        const QByteArray reply = orvo.ajax("func=" + func, &status);
        QCOMPARE(status, 200);
        QVERIFY(reply.isEmpty());
        QVERIFY(waitForExit(&orvo.process()));
        QCOMPARE(orvo.process().exitCode(), 12);
        QVERIFY(waitForCalls(orvo, QStringLiteral("pkexec")));
        const QStringList call = orvo.fakeCalls(QStringLiteral("pkexec")).first().split(QLatin1Char('\t'));
        QCOMPARE(call.first(), QStringLiteral("env"));
        QCOMPARE(call.last(), QStringLiteral("-r"));
        QCOMPARE(call.at(call.size() - 2), orvo.folder() + started);
        if (func == "runAutoUpdate")
            QVERIFY(QFileInfo(orvo.docroot() + QStringLiteral("/root/Orvo_setup")).isExecutable());
        // The port is free again.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, static_cast<quint16>(orvo.port())));
    }

    void quitWithRequestsInFlight()
    {
        OrvoInstance orvo;
        orvo.writeDocFile(QStringLiteral("big.bin"), QByteArray(32 * 1024 * 1024, 'x'));
        QVERIFY(orvo.start({QStringLiteral("-r")}));
        std::atomic<int> finished{0};
        std::vector<std::thread> clients;
        for (int i = 0; i < 8; ++i) {
            clients.emplace_back([&orvo, &finished, i] {
                auto c = orvo.client(20);
                if (i % 2)
                    c->Get("/big.bin");
                else
                    c->Get("/ajax.html?func=getGeneralInfo");
                ++finished;
            });
        }
        QThread::msleep(100);
        QCOMPARE(orvo.stop(20000), 0);
        for (auto &t : clients)
            t.join();
        QCOMPARE(finished.load(), 8);
    }

    void manyClientsAtOnce()
    {
        OrvoInstance orvo;
        orvo.writeDocFile(QStringLiteral("file.txt"), QByteArray(1024, 'a'));
        QVERIFY(orvo.start({QStringLiteral("-r")}));
        std::atomic<int> ok{0};
        std::atomic<int> failed{0};
        std::vector<std::thread> clients;
        for (int i = 0; i < 64; ++i) {
            clients.emplace_back([&, i] {
                auto c = orvo.client(30);
                c->set_keep_alive(true);
                for (int j = 0; j < 10; ++j) {
                    auto res = (i + j) % 2 ? c->Get("/file.txt") : c->Get("/ajax.html?func=getListOfInstalledModules");
                    (res && res->status == 200) ? ++ok : ++failed;
                }
            });
        }
        for (auto &t : clients)
            t.join();
        QCOMPARE(failed.load(), 0);
        QCOMPARE(ok.load(), 640);
        QCOMPARE(orvo.stop(), 0);
    }

    void modbusLockWaitsAtMostFiveSeconds()
    {
        OrvoInstance orvo;
        QVERIFY(orvo.start({QStringLiteral("-r")}));
        // A probe that is never answered holds the Modbus lock for its whole wait.
        FullBacklogListener silent;
        QByteArray holderReply;
        std::thread holder([&] {
            holderReply = orvo.ajax("func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp="
                                    + QByteArray::number(silent.port) + "&slaveID=1&timeout=8000");
        });
        auto joinHolder = qScopeGuard([&holder] {
            if (holder.joinable())
                holder.join();
        });
        QThread::msleep(300);
        // Functions without the lock are answered meanwhile.
        QVERIFY(orvo.ajax("func=getGeneralInfo").startsWith("{\"ver\":"));
        int status = 0;
        const QByteArray blocked = orvo.ajax("func=getPortSettings", &status);
        joinHolder.dismiss();
        holder.join();
        QCOMPARE(status, 200);
        QVERIFY2(blocked.isEmpty(), blocked.constData());
        // The holder was still probing when the second request gave up.
        QCOMPARE(holderReply, QByteArray("{\"error\":\"Could not connect to Modbus TCP!\"}"));
        // Once free, the lock is taken again at once.
        QVERIFY(orvo.ajax("func=getPortSettings").startsWith("{\"ports\":"));
        QCOMPARE(orvo.stop(), 0);
    }

    void ajaxAnswersAreHtmlWithStatus200()
    {
        OrvoInstance orvo;
        QVERIFY(orvo.start({QStringLiteral("-r")}));
        for (const QByteArray query : {QByteArray("func="), QByteArray("x=1"), QByteArray("func=GetPortSettings"),
                                        QByteArray("func=noSuchFunction")}) {
            auto res = orvo.client()->Get(("/ajax.html?" + query).toStdString());
            QVERIFY(res);
            QCOMPARE(res->status, 200);
            QCOMPARE(QByteArray::fromStdString(res->get_header_value("Content-Type")), QByteArray("text/html"));
            QVERIFY2(res->body.empty(), query.constData());
        }
        // The name may stand anywhere in the path; POST bodies carry parameters too.
        auto res = orvo.client()->Post("/some/where/ajax.html", "func=noSuchFunction", "application/x-www-form-urlencoded");
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QCOMPARE(orvo.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TstSpine)
#include "tst_spine.moc"
