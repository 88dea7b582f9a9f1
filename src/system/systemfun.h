#pragma once

#include "http/parametermap.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QStringList>

// Version, capabilities and system facts; starting the boot loader and the
// file manager; rendering HTML to PDF.
class SystemFun : public QObject
{
    Q_OBJECT
public:
    explicit SystemFun(QObject *parent = nullptr);

    // The general-information JSON of the running executable.
    QByteArray getGeneralInfo();
    // The same for an executable at `executablePath`: "runAsAdmin" is a test of
    // that name (the elevated copy's name ends with "admin"), not of privileges.
    static QByteArray generalInfo(const QString &executablePath);

    // The boot loader's five arguments from the stored connection settings:
    // port number - 1, baud code, mode + 3, slave address, device identifier.
    QStringList bootloaderArguments();

    // Renders HTML into an A4 PDF document; empty when it cannot be produced.
    // Safe to call from several worker threads at once.
    QByteArray htmlToPdf(const QString &html);

    // "runFirmwareUpdater": starts the boot loader; always {"ok":"1"}.
    QByteArray runFirmwareUpdater();
    // "openFtpInExplorer": opens "address" in the file manager.
    QByteArray openFtpInExplorer(const ParameterMap &params);

    // Whether openFtpInExplorer hands `address` to the file manager: an ftp,
    // ftps or sftp URL, or an existing directory given by its absolute path.
    static bool isOpenableAddress(const QString &address);

private:
    QHash<int, int> baudCodes;
};
