#pragma once

#include <QDialog>
#include <QString>
#include <QSystemTrayIcon>
#include <QTranslator>

class QAction;
class QActionGroup;
class QApplication;
class QMenu;
class QSettings;

// The tray icon with its menu, notifications, port dialog, About box and the
// interface language. The dialog itself is never shown: it is the parent of
// everything else and the translation context of its texts.
class TrayMenu : public QDialog
{
    Q_OBJECT
public:
    // One balloon message: what it says and how it is shown.
    struct Notification
    {
        QString title;
        QString body;
        QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::NoIcon;
        int durationMs = 0;
    };

    // `translationDirectory` is where the catalogues are looked up; empty means
    // the executable's own folder.
    TrayMenu(QApplication *application, QSettings *settings, const QString &translationDirectory = QString());

    void showBindErrorMessage();
    void showRunningMessage();

    // The notifications in the current language, as they are shown.
    Notification bindErrorNotification() const;
    Notification runningNotification() const;

    // "http://127.0.0.1:" and the listening port read at construction.
    QString localAddress() const;
    // The About box's body.
    static QString aboutText();
    // The language code derived from a locale name such as "pl_PL".
    static QString languageForLocaleName(const QString &localeName);

    QString currentLanguageCode() const { return currentLanguage; }

Q_SIGNALS:
    void exitApp();

public Q_SLOTS:
    void slotLaunchBrowser();
    void slotCopyIp2Clipboard();
    void slotExitApp();
    void slotLanguageChanged(QAction *action);
    void slotChangeListeningPort();
    void slotShowAbout();

private Q_SLOTS:
    void trayClicked(QSystemTrayIcon::ActivationReason reason);

private:
    void createActions();
    void createTrayIcon();
    void retranslateMenu();
    void chooseStartupLanguage();
    void loadLanguage(const QString &code);
    void switchTranslator(QTranslator &translator, const QString &fileName);
    void savePreferredLanguage(const QString &code);
    void openSettingsGroup(const QString &group);
    void notify(const Notification &notification);

    QAction *launchAction = nullptr;
    QAction *copyAction = nullptr;
    QAction *englishAction = nullptr;
    QAction *polishAction = nullptr;
    QAction *spanishAction = nullptr;
    QAction *germanAction = nullptr;
    QAction *portAction = nullptr;
    QAction *aboutAction = nullptr;
    QAction *quitAction = nullptr;
    QActionGroup *languageGroup = nullptr;
    QMenu *languageMenu = nullptr;
    QMenu *trayIconMenu = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QApplication *application = nullptr;
    int listeningPort = 80;
    QSettings *settings = nullptr;
    QString translationDirectory;
    QTranslator appTranslator;
    QTranslator qtTranslator;
    QString currentLanguage;
};
