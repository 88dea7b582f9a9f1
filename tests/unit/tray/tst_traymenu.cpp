#include "tray/traymenu.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QInputDialog>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#include <unistd.h>

namespace {

// Receives what QDesktopServices::openUrl is asked to open.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl &url) { urls.append(url); }
};

// Runs `handle` on the next modal dialog once it is up, from inside its event loop.
void onNextModalDialog(std::function<void(QWidget *)> handle)
{
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [handle, poll] {
        if (QWidget *dialog = QApplication::activeModalWidget()) {
            handle(dialog);
            return;
        }
        QTimer::singleShot(10, qApp, *poll);
    };
    QTimer::singleShot(0, qApp, *poll);
}

// What one call writes on standard error.
QByteArray captureStderr(const std::function<void()> &call)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("stderr"));
    std::fflush(stderr);
    const int saved = ::dup(2);
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "w");
    ::dup2(::fileno(file), 2);
    call();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::fclose(file);
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

} // namespace

class TrayMenuTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<TrayMenu> tray;

    int configCount = 0;

    // A fresh file per tray: settings objects of one process share a cache per
    // path, which may not notice a rewrite of the same size within one tick.
    QString configPath() const { return dir.filePath(QStringLiteral("config%1.ini").arg(configCount)); }

    void writeConfig(const QByteArray &text)
    {
        QFile f(configPath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }

    QByteArray configText() const
    {
        QFile f(configPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // A value as stored on disk, read by a settings object of its own.
    QString storedValue(const QString &key) const
    {
        QSettings reader(configPath(), QSettings::IniFormat);
        reader.sync();
        return reader.value(key).toString();
    }

    TrayMenu *makeTray(const QByteArray &config, const QString &catalogues = QStringLiteral(ORVO_CATALOGUE_DIR))
    {
        tray.reset();
        settings.reset();
        ++configCount;
        writeConfig(config);
        settings = std::make_unique<QSettings>(configPath(), QSettings::IniFormat);
        tray = std::make_unique<TrayMenu>(qApp, settings.get(), catalogues);
        return tray.get();
    }

    static QSystemTrayIcon *icon(TrayMenu *t) { return t->findChild<QSystemTrayIcon *>(); }
    static QList<QAction *> entries(TrayMenu *t) { return icon(t)->contextMenu()->actions(); }
    static QMenu *languageMenu(TrayMenu *t) { return entries(t).at(3)->menu(); }
    static QAction *languageAction(TrayMenu *t, const QString &code)
    {
        for (QAction *a : languageMenu(t)->actions()) {
            if (a->data().toString() == code)
                return a;
        }
        return nullptr;
    }
    static QString checkedLanguage(TrayMenu *t)
    {
        QString checked;
        for (QAction *a : languageMenu(t)->actions()) {
            if (a->isChecked())
                checked += a->data().toString();
        }
        return checked;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("Brask"));
        QCoreApplication::setApplicationName(QStringLiteral("Orvo"));
        QApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(dir.isValid());
    }

    void cleanup()
    {
        tray.reset();
        settings.reset();
        QLocale::setDefault(QLocale::c());
    }

    void iconIsCompiledIn()
    {
        const QImage image(QStringLiteral(":/images/tray_icon2"));
        QCOMPARE(image.size(), QSize(64, 64));
        QVERIFY(image.hasAlphaChannel());
        TrayMenu *t = makeTray("[other]\nprefLang=en\n");
        QVERIFY(!icon(t)->icon().isNull());
        QCOMPARE(icon(t)->toolTip(), QStringLiteral("Orvo 0.2.04"));
        QVERIFY(!t->isVisible());
    }

    void menuInEachLanguage_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("qtCancel");
        QTest::newRow("en") << "en"
                            << QStringList{"&Launch browser", "&Copy IP address to clipboard", "&Language",
                                           "&Change listening port", "&About", "&Quit"}
                            << "Cancel";
        QTest::newRow("es") << "es"
                            << QStringList{"&Abrir navegador", "&Copiar dirección IP al portapapeles", "&Idioma",
                                           "Cambiar &puerto de escucha", "Acerca &de", "&Salir"}
                            << "Cancelar";
        QTest::newRow("de") << "de"
                            << QStringList{"&Browser öffnen", "IP-Adresse in die Zwischenablage &kopieren",
                                           "&Sprache", "Empfangs&port ändern", "&Über", "B&eenden"}
                            << "Abbrechen";
        QTest::newRow("pl") << "pl"
                            << QStringList{"&Uruchom przeglądarkę", "&Kopiuj adres IP do schowka", "&Język",
                                           "Zmień &port nasłuchu", "&O programie", "&Zakończ"}
                            << "Anuluj";
    }

    void menuInEachLanguage()
    {
        QFETCH(QString, code);
        QFETCH(QStringList, texts);
        QFETCH(QString, qtCancel);
        TrayMenu *t = makeTray("[other]\nprefLang=" + code.toLatin1() + "\n");

        const QList<QAction *> items = entries(t);
        QCOMPARE(items.size(), 9);
        QStringList shown;
        for (QAction *a : items)
            shown << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(shown, (QStringList{texts[0], texts[1], "-", texts[2], texts[3], "-", texts[4], "-", texts[5]}));
        QVERIFY(items[3]->menu());
        QVERIFY(items[0]->font().bold());
        for (int i : {1, 4, 6, 8})
            QVERIFY(!items[i]->font().bold());

        QStringList languages;
        for (QAction *a : languageMenu(t)->actions())
            languages << a->text() + "=" + a->data().toString();
        QCOMPARE(languages, (QStringList{"&English=en", "&Espanol=es", "&Deutsch=de", "&Polski=pl"}));
        QCOMPARE(checkedLanguage(t), code);

        // Qt's own catalogue, for the buttons of the port dialog and the About box.
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), qtCancel);
    }

    void notifications_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("bindTitle");
        QTest::addColumn<QString>("bindBody");
        QTest::addColumn<QString>("runTitle");
        QTest::addColumn<QString>("runBody");
        QTest::newRow("en") << "en" << "Error!" << "Cannot bind on port: 8080. Port already in use!"
                            << "Program is running." << "Program is listening on port: 8080.";
        QTest::newRow("es") << "es" << "¡Error!" << "No se puede escuchar en el puerto: 8080. ¡El puerto ya está en uso!"
                            << "El programa está en ejecución." << "El programa escucha en el puerto: 8080.";
        QTest::newRow("de") << "de" << "Fehler!" << "Port kann nicht belegt werden: 8080. Der Port wird bereits verwendet!"
                            << "Das Programm läuft." << "Das Programm empfängt auf Port: 8080.";
        QTest::newRow("pl") << "pl" << "Błąd!" << "Nie można nasłuchiwać na porcie: 8080. Port jest już zajęty!"
                            << "Program działa." << "Program nasłuchuje na porcie: 8080.";
    }

    void notifications()
    {
        QFETCH(QString, code);
        QFETCH(QString, bindTitle);
        QFETCH(QString, bindBody);
        QFETCH(QString, runTitle);
        QFETCH(QString, runBody);
        TrayMenu *t = makeTray("[listener]\nport=8080\n[other]\nprefLang=" + code.toLatin1() + "\n");

        const TrayMenu::Notification bind = t->bindErrorNotification();
        QCOMPARE(bind.title, bindTitle);
        QCOMPARE(bind.body, bindBody);
        QCOMPARE(bind.icon, QSystemTrayIcon::Warning);
        QCOMPARE(bind.durationMs, 4000);
        const TrayMenu::Notification run = t->runningNotification();
        QCOMPARE(run.title, runTitle);
        QCOMPARE(run.body, runBody);
        QCOMPARE(run.icon, QSystemTrayIcon::Information);
        QCOMPARE(run.durationMs, 1000);
    }

    void notificationsWithoutTrayGoToStandardError()
    {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        TrayMenu *t = makeTray("[listener]\nport=8080\n[other]\nprefLang=en\n");
        QCOMPARE(captureStderr([t] { t->showBindErrorMessage(); }),
                 QByteArray("Error!\nCannot bind on port: 8080. Port already in use!\n"));
        QCOMPARE(captureStderr([t] { t->showRunningMessage(); }),
                 QByteArray("Program is running.\nProgram is listening on port: 8080.\n"));
    }

    void startupLanguage_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("loaded");
        QTest::addColumn<QString>("checked");
        QTest::addColumn<QString>("launchText");
        QTest::newRow("stored wins over locale") << QByteArray("de") << "pl_PL" << "de" << "de" << "&Browser öffnen";
        QTest::newRow("stored unknown code") << QByteArray("xx") << "pl_PL" << "xx" << "en" << "&Launch browser";
        QTest::newRow("pl_PL") << QByteArray() << "pl_PL" << "pl" << "pl" << "&Uruchom przeglądarkę";
        QTest::newRow("es_ES") << QByteArray() << "es_ES" << "es" << "es" << "&Abrir navegador";
        QTest::newRow("de_DE starts in English") << QByteArray() << "de_DE" << "en" << "en" << "&Launch browser";
        QTest::newRow("name without underscore") << QByteArray() << "C" << "en" << "en" << "&Launch browser";
    }

    void startupLanguage()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, locale);
        QFETCH(QString, loaded);
        QFETCH(QString, checked);
        QFETCH(QString, launchText);
        QLocale::setDefault(QLocale(locale));
        QCOMPARE(QLocale().name(), locale);

        TrayMenu *t = makeTray(stored.isEmpty() ? QByteArray("[listener]\nport=8080\n")
                                                : "[other]\nprefLang=" + stored + "\n");
        QCOMPARE(t->currentLanguageCode(), loaded);
        QCOMPARE(checkedLanguage(t), checked);
        QCOMPARE(entries(t).at(0)->text(), launchText);
        QCOMPARE(storedValue(QStringLiteral("other/prefLang")), loaded);
        QCOMPARE(storedValue(QStringLiteral("listener/port")), stored.isEmpty() ? QStringLiteral("8080") : QString());
    }

    void switchingLanguage()
    {
        TrayMenu *t = makeTray("[other]\nprefLang=de\n");
        QAction *spanish = languageAction(t, QStringLiteral("es"));

        spanish->trigger();
        QCOMPARE(checkedLanguage(t), QStringLiteral("es"));
        QCOMPARE(entries(t).at(0)->text(), QStringLiteral("&Abrir navegador"));
        QVERIFY(entries(t).at(0)->font().bold());
        QCOMPARE(storedValue(QStringLiteral("other/prefLang")), QStringLiteral("es"));

        // Picking the loaded language again leaves the file as it is.
        writeConfig("; edited by hand\n[other]\nprefLang=es\n");
        spanish->trigger();
        QCOMPARE(checkedLanguage(t), QStringLiteral("es"));
        QCOMPARE(configText(), QByteArray("; edited by hand\n[other]\nprefLang=es\n"));
    }

    void missingCatalogueFallsBackToEnglish()
    {
        // Only the German catalogues are present.
        QTemporaryDir catalogues;
        const QDir build(QStringLiteral(ORVO_CATALOGUE_DIR));
        for (const QString &name : build.entryList({QStringLiteral("*_de.qm")}, QDir::Files))
            QVERIFY(QFile::copy(build.filePath(name), catalogues.filePath(name)));

        TrayMenu *t = makeTray("[other]\nprefLang=de\n", catalogues.path());
        QCOMPARE(entries(t).at(0)->text(), QStringLiteral("&Browser öffnen"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Abbrechen"));

        languageAction(t, QStringLiteral("es"))->trigger();
        QCOMPARE(entries(t).at(0)->text(), QStringLiteral("&Launch browser"));
        QCOMPARE(t->bindErrorNotification().title, QStringLiteral("Error!"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
        QCOMPARE(checkedLanguage(t), QStringLiteral("es"));
        QCOMPARE(storedValue(QStringLiteral("other/prefLang")), QStringLiteral("es"));
    }

    void doubleClickOpensTheLocalAddress()
    {
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");
        TrayMenu *t = makeTray("[listener]\nport=8080\n[other]\nprefLang=en\n");

        for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Context,
                            QSystemTrayIcon::Unknown})
            Q_EMIT icon(t)->activated(reason);
        QCOMPARE(recorder.urls, QList<QUrl>());

        Q_EMIT icon(t)->activated(QSystemTrayIcon::DoubleClick);
        QCOMPARE(recorder.urls, QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:8080"))});

        entries(t).at(0)->trigger();
        QCOMPARE(recorder.urls.size(), 2);
        QCOMPARE(recorder.urls.last(), QUrl(QStringLiteral("http://127.0.0.1:8080")));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    void copiesTheWholeAddress_data()
    {
        QTest::addColumn<QByteArray>("listener");
        QTest::addColumn<QString>("address");
        QTest::newRow("port 8080") << QByteArray("port=8080\n") << "http://127.0.0.1:8080";
        QTest::newRow("no port") << QByteArray() << "http://127.0.0.1:80";
        QTest::newRow("not a number") << QByteArray("port=abc\n") << "http://127.0.0.1:0";
    }

    void copiesTheWholeAddress()
    {
        QFETCH(QByteArray, listener);
        QFETCH(QString, address);
        QGuiApplication::clipboard()->setText(QStringLiteral("before"), QClipboard::Clipboard);
        TrayMenu *t = makeTray("[listener]\n" + listener + "[other]\nprefLang=en\n");
        entries(t).at(1)->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), address);
        QCOMPARE(t->runningNotification().body, "Program is listening on port: " + address.section(':', 2) + ".");
    }

    void portDialog()
    {
        TrayMenu *t = makeTray("[listener]\nport=8080\n[other]\nprefLang=en\n");
        QAction *portAction = entries(t).at(4);

        // Confirmed: stored for the next start; the running address stays.
        QString title, label;
        int initial = 0, minimum = 0, maximum = 0;
        QWidget *parent = nullptr;
        onNextModalDialog([&](QWidget *w) {
            auto *dialog = qobject_cast<QInputDialog *>(w);
            if (!dialog)
                return w->close(), void();
            title = dialog->windowTitle();
            label = dialog->labelText();
            initial = dialog->intValue();
            minimum = dialog->intMinimum();
            maximum = dialog->intMaximum();
            parent = dialog->parentWidget();
            dialog->setIntValue(8081);
            dialog->accept();
        });
        portAction->trigger();
        QCOMPARE(title, QStringLiteral("Listening port modification"));
        QCOMPARE(label, QStringLiteral("New listening port:"));
        QCOMPARE(initial, 8080);
        QCOMPARE(minimum, 80);
        QCOMPARE(maximum, 65535);
        QCOMPARE(parent, static_cast<QWidget *>(t));
        QCOMPARE(storedValue(QStringLiteral("listener/port")), QStringLiteral("8081"));
        QCOMPARE(t->localAddress(), QStringLiteral("http://127.0.0.1:8080"));
        entries(t).at(1)->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("http://127.0.0.1:8080"));

        // Cancelled: the file is not touched, whatever the field held.
        const QByteArray handEdited = "; edited by hand\n[listener]\nport=8081\n[other]\nprefLang=en\n";
        writeConfig(handEdited);
        onNextModalDialog([&](QWidget *w) {
            auto *dialog = qobject_cast<QInputDialog *>(w);
            initial = dialog ? dialog->intValue() : 0;
            if (dialog)
                dialog->setIntValue(9000);
            w->close();
        });
        portAction->trigger();
        QCOMPARE(initial, 8081);
        QCOMPARE(configText(), handEdited);

        // Confirmed unchanged: written all the same.
        onNextModalDialog([&](QWidget *w) {
            if (auto *dialog = qobject_cast<QInputDialog *>(w))
                dialog->accept();
            else
                w->close();
        });
        portAction->trigger();
        QVERIFY(!configText().contains("edited by hand"));
        QCOMPARE(storedValue(QStringLiteral("listener/port")), QStringLiteral("8081"));
    }

    void aboutBox()
    {
        TrayMenu *t = makeTray("[other]\nprefLang=pl\n");
        QString title, text;
        QWidget *parent = nullptr;
        onNextModalDialog([&](QWidget *w) {
            if (auto *box = qobject_cast<QMessageBox *>(w)) {
                title = box->windowTitle();
                text = box->text();
                parent = box->parentWidget();
            }
            w->close();
        });
        entries(t).at(6)->trigger();
        QCOMPARE(title, QStringLiteral("O programie"));
        QCOMPARE(parent, static_cast<QWidget *>(t));
        QVERIFY(text.contains(QStringLiteral("<b>Orvo ver. 0.2.04</b>")));
        QVERIFY(text.contains(QStringLiteral("framework Qt ") + QString::fromLatin1(qVersion()) + QStringLiteral("<br>")));
        for (const char *component : {"libmodbus", "cpp-httplib", "Qt Serial Port"})
            QVERIFY2(text.contains(QStringLiteral("---<br>") + QString::fromLatin1(component) + QStringLiteral("<br><a href=")),
                     component);
        QVERIFY(!text.contains(QStringLiteral("4.8.1")));
    }

    void quitEmitsExitApp()
    {
        TrayMenu *t = makeTray("[other]\nprefLang=en\n");
        QSignalSpy exits(t, &TrayMenu::exitApp);
        entries(t).at(8)->trigger();
        QCOMPARE(exits.count(), 1);
    }
};

QTEST_MAIN(TrayMenuTest)
#include "tst_traymenu.moc"
