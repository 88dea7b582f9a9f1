#include "modbus/modbusengine.h"

ModbusEngine::ModbusEngine(QObject *parent) : QObject(parent) {}

ModbusEngine::~ModbusEngine() = default;

QByteArray ModbusEngine::getPortSettings() { return QByteArray(); }
QByteArray ModbusEngine::connect(const ParameterMap &) { return QByteArray(); }
QByteArray ModbusEngine::disconnect() { return QByteArray(); }
QByteArray ModbusEngine::readRegisters(const ParameterMap &, int) { return QByteArray(); }
QByteArray ModbusEngine::writeRegisters(const ParameterMap &, int) { return QByteArray(); }
QByteArray ModbusEngine::identifySlave(int) { return QByteArray(); }
