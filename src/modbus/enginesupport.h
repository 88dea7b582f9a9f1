#pragma once
// Helpers shared by the two halves of ModbusEngine (connection and registers).

#include "http/parametermap.h"

#include <QSettings>

namespace enginesupport {

// The per-user store of the connection settings, opened afresh for each
// access so that another process (or a later request) always sees the last
// write.
struct UserSettings : QSettings {
    UserSettings() : QSettings(QStringLiteral("Brask"), QStringLiteral("Orvo")) {}
};

// A request number: decimal text, anything else counts as 0.
inline int requestNumber(const ParameterMap &params, const char *name)
{
    bool ok = false;
    const int value = params.value(name).trimmed().toInt(&ok, 10);
    return ok ? value : 0;
}

} // namespace enginesupport
