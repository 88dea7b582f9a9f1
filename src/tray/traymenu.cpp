#include "tray/traymenu.h"

#include "platform/platform.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QFont>
#include <QIcon>
#include <QInputDialog>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QUrl>

#include <cstdio>

namespace {

const QString listenerGroup = QStringLiteral("listener");
const QString otherGroup = QStringLiteral("other");
const QString portKey = QStringLiteral("port");
const QString prefLangKey = QStringLiteral("prefLang");

} // namespace

TrayMenu::TrayMenu(QApplication *application, QSettings *settings, const QString &translationDirectory)
    : QDialog(nullptr), application(application)
{
    settings->beginGroup(listenerGroup);
    listeningPort = settings->value(portKey, 80).toInt();
    this->settings = settings;
    settings->endGroup();

    this->translationDirectory = translationDirectory.isEmpty() ? platform::executableFolder() : translationDirectory;
    if (!this->translationDirectory.endsWith(QLatin1Char('/')))
        this->translationDirectory += QLatin1Char('/');

    currentLanguage = QString();

    createActions();
    createTrayIcon();
    // Loading sets every menu text, so the icon never shows an empty menu.
    chooseStartupLanguage();

    connect(trayIcon, &QSystemTrayIcon::activated, this, &TrayMenu::trayClicked);
    // On X11 a hidden icon docks as soon as a tray host appears, so it is shown
    // even without one; the offscreen platform has no tray at all, and Qt only
    // complains when asked to show an icon there.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        trayIcon->setVisible(true);
}

void TrayMenu::createActions()
{
    launchAction = new QAction(this);
    copyAction = new QAction(this);

    languageGroup = new QActionGroup(this);
    languageGroup->setExclusive(true);
    // Language names stay in their own language whatever is loaded.
    const auto languageAction = [this](const QString &text, const QString &code) {
        auto *action = new QAction(text, this);
        action->setCheckable(true);
        action->setData(code);
        languageGroup->addAction(action);
        return action;
    };
    englishAction = languageAction(QStringLiteral("&English"), QStringLiteral("en"));
    spanishAction = languageAction(QStringLiteral("&Espanol"), QStringLiteral("es"));
    germanAction = languageAction(QStringLiteral("&Deutsch"), QStringLiteral("de"));
    polishAction = languageAction(QStringLiteral("&Polski"), QStringLiteral("pl"));

    portAction = new QAction(this);
    aboutAction = new QAction(this);
    quitAction = new QAction(this);

    connect(languageGroup, &QActionGroup::triggered, this, &TrayMenu::slotLanguageChanged);
    connect(launchAction, &QAction::triggered, this, &TrayMenu::slotLaunchBrowser);
    connect(copyAction, &QAction::triggered, this, &TrayMenu::slotCopyIp2Clipboard);
    connect(portAction, &QAction::triggered, this, &TrayMenu::slotChangeListeningPort);
    connect(aboutAction, &QAction::triggered, this, &TrayMenu::slotShowAbout);
    connect(quitAction, &QAction::triggered, this, &TrayMenu::slotExitApp);
}

void TrayMenu::createTrayIcon()
{
    languageMenu = new QMenu(this);
    languageMenu->addActions(languageGroup->actions());

    trayIconMenu = new QMenu(this);
    trayIconMenu->addAction(launchAction);
    trayIconMenu->addAction(copyAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addMenu(languageMenu);
    trayIconMenu->addAction(portAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(aboutAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(quitAction);

    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/images/tray_icon2")), this);
    trayIcon->setContextMenu(trayIconMenu);
    trayIcon->setToolTip(QCoreApplication::applicationName() + QLatin1Char(' ') + QStringLiteral(ORVO_VERSION_TEXT));
}

void TrayMenu::retranslateMenu()
{
    launchAction->setText(tr("&Launch browser"));
    QFont bold;
    bold.setWeight(QFont::Bold);
    launchAction->setFont(bold);
    copyAction->setText(tr("&Copy IP address to clipboard"));
    languageMenu->setTitle(tr("&Language"));
    portAction->setText(tr("&Change listening port"));
    aboutAction->setText(tr("&About"));
    quitAction->setText(tr("&Quit"));
}

QString TrayMenu::localAddress() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(listeningPort);
}

TrayMenu::Notification TrayMenu::bindErrorNotification() const
{
    return {tr("Error!"),
            tr("Cannot bind on port: ") + QString::number(listeningPort) + tr(". Port already in use!"),
            QSystemTrayIcon::Warning, 4000};
}

TrayMenu::Notification TrayMenu::runningNotification() const
{
    return {tr("Program is running."),
            tr("Program is listening on port: ") + QString::number(listeningPort) + QLatin1Char('.'),
            QSystemTrayIcon::Information, 1000};
}

void TrayMenu::showBindErrorMessage()
{
    notify(bindErrorNotification());
}

void TrayMenu::showRunningMessage()
{
    notify(runningNotification());
}

void TrayMenu::notify(const Notification &notification)
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        trayIcon->showMessage(notification.title, notification.body, notification.icon, notification.durationMs);
        return;
    }
    // Nobody would see a balloon; a bind failure must still reach the user.
    const QByteArray text = (notification.title + QLatin1Char('\n') + notification.body + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

void TrayMenu::trayClicked(QSystemTrayIcon::ActivationReason reason)
{
    // A single click stays free for the desktop; the menu comes from the icon itself.
    if (reason == QSystemTrayIcon::DoubleClick)
        slotLaunchBrowser();
}

void TrayMenu::slotLaunchBrowser()
{
    platform::openUrl(QUrl(localAddress()));
}

void TrayMenu::slotCopyIp2Clipboard()
{
    QGuiApplication::clipboard()->setText(localAddress(), QClipboard::Clipboard);
}

void TrayMenu::slotExitApp()
{
    Q_EMIT exitApp();
}

void TrayMenu::openSettingsGroup(const QString &group)
{
    while (!settings->group().isEmpty())
        settings->endGroup();
    settings->beginGroup(group);
}

void TrayMenu::slotChangeListeningPort()
{
    // The stored value, which is ahead of the listening port once changed in this run.
    openSettingsGroup(listenerGroup);
    const int stored = settings->value(portKey, 80).toInt();

    bool ok = false;
    const int chosen = QInputDialog::getInt(this, tr("Listening port modification"), tr("New listening port:"), stored,
                                            80, 65535, 1, &ok);
    if (!ok)
        return;
    // The dialog is modal with a nested event loop; another operation may have moved the group.
    openSettingsGroup(listenerGroup);
    settings->setValue(portKey, chosen);
    // Written now: a hand-over ends the process without running destructors.
    settings->sync();
}

QString TrayMenu::aboutText()
{
    return QStringLiteral("<div>"
                          "<p align=\"center\"><b>Orvo ver. " ORVO_VERSION_TEXT "</b></p>"
                          "<p>Copyright &copy; Brask</p>"
                          "<p>This application has been developped with the framework Qt ")
           + QString::fromLatin1(qVersion())
           + QStringLiteral("<br><a href=\"https://www.qt.io\">https://www.qt.io</a></p>"
                            "<p>Used free componentes:<br>"
                            "---<br>libmodbus<br><a href=\"https://libmodbus.org\">https://libmodbus.org</a><br>"
                            "---<br>cpp-httplib<br><a href=\"https://github.com/yhirose/cpp-httplib\">"
                            "https://github.com/yhirose/cpp-httplib</a><br>"
                            "---<br>Qt Serial Port<br><a href=\"https://doc.qt.io/qt-6/qtserialport-index.html\">"
                            "https://doc.qt.io/qt-6/qtserialport-index.html</a><br>"
                            "--</p>"
                            "</div>");
}

void TrayMenu::slotShowAbout()
{
    QMessageBox::about(this, tr("About"), aboutText());
}

QString TrayMenu::languageForLocaleName(const QString &localeName)
{
    const qsizetype cut = localeName.lastIndexOf(QLatin1Char('_'));
    const QString language = cut < 0 ? QString() : localeName.left(cut);
    if (language == QLatin1String("pl") || language == QLatin1String("es"))
        return language;
    return QStringLiteral("en");
}

void TrayMenu::chooseStartupLanguage()
{
    settings->beginGroup(otherGroup);
    QString code = settings->value(prefLangKey).toString();
    settings->endGroup();

    if (code.isEmpty()) {
        // The default locale is the system's unless the program set another.
        code = languageForLocaleName(QLocale().name());
        savePreferredLanguage(code);
    }

    loadLanguage(code);

    QAction *checked = englishAction;
    for (QAction *action : languageGroup->actions()) {
        if (action->data().toString() == code)
            checked = action;
    }
    checked->setChecked(true);
}

void TrayMenu::slotLanguageChanged(QAction *action)
{
    if (!action)
        return;
    loadLanguage(action->data().toString());
}

void TrayMenu::loadLanguage(const QString &code)
{
    if (code == currentLanguage)
        return;
    switchTranslator(appTranslator, QStringLiteral("kesto_%1.qm").arg(code));
    switchTranslator(qtTranslator, QStringLiteral("qt_%1.qm").arg(code));
    retranslateMenu();
    currentLanguage = code;
    savePreferredLanguage(code);
}

void TrayMenu::switchTranslator(QTranslator &translator, const QString &fileName)
{
    QCoreApplication::removeTranslator(&translator);
    // A missing catalogue leaves the translator out, so its texts show in English.
    if (translator.load(translationDirectory + fileName))
        QCoreApplication::installTranslator(&translator);
}

void TrayMenu::savePreferredLanguage(const QString &code)
{
    openSettingsGroup(otherGroup);
    settings->setValue(prefLangKey, code);
    settings->sync();
}
