#pragma once

#include "http/parametermap.h"

#include <QByteArray>
#include <QObject>

class QSettings;

// Asks the update server for new modules, downloads and installs them.
class Updates : public QObject
{
    Q_OBJECT
public:
    Updates(QSettings *settings, QObject *parent = nullptr);
    ~Updates() override;

    QByteArray check4Updates(const ParameterMap &params);
    QByteArray startUpdating(const ParameterMap &params);
    QByteArray getUpdateStatus();
};
