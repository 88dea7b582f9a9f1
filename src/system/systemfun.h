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

    QByteArray getGeneralInfo();
    QStringList bootloaderArguments();
    QByteArray htmlToPdf(const QString &html);

    // "runFirmwareUpdater": starts the boot loader; always {"ok":"1"}.
    QByteArray runFirmwareUpdater();
    // "openFtpInExplorer": opens "address" in the file manager.
    QByteArray openFtpInExplorer(const ParameterMap &params);

private:
    QHash<int, int> baudCodes;
};
