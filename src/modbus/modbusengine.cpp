#include "modbus/modbusengine.h"

// Tables, state, the port report, connect and disconnect.

ModbusEngine::ModbusEngine(QObject *parent) : QObject(parent) {}

ModbusEngine::~ModbusEngine() = default;

QByteArray ModbusEngine::getPortSettings() { return QByteArray(); }
QByteArray ModbusEngine::connect(const ParameterMap &) { return QByteArray(); }
QByteArray ModbusEngine::disconnect() { return QByteArray(); }
