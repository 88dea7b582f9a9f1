#pragma once

#include "http/parametermap.h"

#include <QByteArray>
#include <QObject>

// The Modbus master: one device at a time, over a serial line (RTU) or TCP.
// Every operation answers a JSON reply. The request handler calls them one at
// a time under its Modbus mutex; the engine itself locks nothing.
class ModbusEngine : public QObject
{
    Q_OBJECT
public:
    explicit ModbusEngine(QObject *parent = nullptr);
    ~ModbusEngine() override;

    QByteArray getPortSettings();
    QByteArray connect(const ParameterMap &params);
    QByteArray disconnect();
    QByteArray readRegisters(const ParameterMap &params, int attempt);
    QByteArray writeRegisters(const ParameterMap &params, int attempt);
    QByteArray identifySlave(int attempt);
};
