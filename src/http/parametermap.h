#pragma once

#include <QByteArray>
#include <QMap>

// A request's parameters, name to value, both as bytes. A lookup of an absent
// name yields an empty value.
using ParameterMap = QMap<QByteArray, QByteArray>;
