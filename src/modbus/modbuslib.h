#pragma once
// The Modbus library as the engine uses it: libmodbus for the standard master
// calls, the two 32-bit register operations that libmodbus lacks, serial port
// enumeration, the baud rates libmodbus cannot set, and the error numbers.
//
// Every function here is called with the request handler's Modbus mutex held:
// a libmodbus context is not thread-safe.

#include <modbus.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

// Most 32-bit registers one read or write frame can carry.
inline constexpr int MODBUS_MAX_READ_REGISTERS_32 = 62;
inline constexpr int MODBUS_MAX_WRITE_REGISTERS_32 = 61;

// Reads `nb` 32-bit holding registers from `addr` into `dest` (host order).
// The wire format is the Enron/Daniel one: function 03 whose quantity counts
// 32-bit registers, each travelling as 4 big-endian bytes.
// Returns nb, or -1 with errno set: EINVAL for nb outside 1..62 (splitting a
// longer read is the caller's job), MODBUS_ENOBASE + code for an exception
// reply, EMBBADDATA for a reply of the wrong function or length, and the
// library's own numbers (ETIMEDOUT, EMBBADCRC, ...) for transport failures.
int modbus_read_registers_32(modbus_t *ctx, int addr, int nb, uint32_t *dest);

// Writes `nb` 32-bit holding registers from `src` (host order) at `addr`:
// function 16 whose quantity counts 32-bit registers, 4 big-endian bytes each.
// Returns nb, or -1 with errno set as for the read; EINVAL for nb outside
// 1..61, EMBBADDATA when the reply does not echo the address and quantity.
int modbus_write_registers_32(modbus_t *ctx, int addr, int nb, const uint32_t *src);

namespace modbuslib {

// One serial port as the connection form shows it.
struct PortInfo {
    QString portName;   // the device path handed to the library (/dev/ttyUSB0)
    QString friendName; // description, else manufacturer, else the name
};

// The serial ports present now, followed by every path listed in config.ini
// "serial/extraPorts" (virtual ports, /dev/serial/by-id links), which are
// always listed whether or not they exist.
QList<PortInfo> availablePorts();
// The config.ini availablePorts() reads; empty (the default) means the one in
// the application folder. Tests point it at a file of their own.
void setConfigFile(const QString &path);
// The same with the extra paths read from the given config.ini.
QList<PortInfo> availablePorts(const QString &configPath);
// The non-empty entries of "serial/extraPorts" in the given config.ini.
QStringList extraPorts(const QString &configPath);

// True for the error numbers that mean the slave did not answer at all.
bool isNoReply(int errnum);

// True when libmodbus cannot set `baud` itself (no termios constant for it):
// it would fall back to 9600 without a word.
bool needsCustomBaudRate(int baud);
// Sets an arbitrary bit rate on the open RTU context's line. False when the
// line refuses it.
bool setCustomBaudRate(modbus_t *ctx, int baud);

} // namespace modbuslib
