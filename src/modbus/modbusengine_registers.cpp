#include "modbus/modbusengine.h"

// Reading and writing registers, and identifying the slave.

QByteArray ModbusEngine::readRegisters(const ParameterMap &, int) { return QByteArray(); }
QByteArray ModbusEngine::writeRegisters(const ParameterMap &, int) { return QByteArray(); }
QByteArray ModbusEngine::identifySlave(int) { return QByteArray(); }
