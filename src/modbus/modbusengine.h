#pragma once

#include "http/parametermap.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <array>
#include <functional>

struct _modbus;
typedef struct _modbus modbus_t;

// The Modbus master: one device at a time, over a serial line (RTU) or TCP.
// Every operation answers a JSON reply. The request handler calls them one at
// a time under its Modbus mutex; the engine itself locks nothing.
//
// Connection settings live in the per-user settings store (organisation
// "Brask", application "Orvo"), single keys: "portName", "Selected_Port",
// "slaveID", "baudRate", "mode", "timeout", "tcpIp", "tcpPort", "Brask_ID".
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

    struct BaudRate {
        int rate;
        const char *text;
    };
    struct Mode {
        const char *text;
        char parity;
        int stopBits;
    };
    static const std::array<BaudRate, 11> baudRateTable;
    static const std::array<Mode, 4> modeTable;

    // The bit rate of a baud-rate index; -1 for an index outside 0..10.
    static int baudRateAt(int index);
    // One character as JSON text (quote, solidus, backslash and the control escapes).
    static QByteArray escapeJsonChar(char c);

    // Connection state, for tests and the status report.
    bool connected() const { return isConnected; }
    qint16 currentConnectionType() const { return connectionType; }
    bool hasContext() const { return ctx != nullptr; }

private:
    // The connection tests drive the helpers and look at the live context.
    friend class TestModbusEngineConn;

    bool checkTcpLink();
    bool reconnect();
    bool reconnectSerial();
    // Over a serial link: true when the line is open, else after opening it
    // again from the stored settings.
    bool serialLineReady();
    // Over a serial link, a device error (not a missing reply) closes the line.
    void closeFailedSerialLine(int failure);
    // Closes and frees ctx, if held.
    void releaseContext();
    // Sets the serial reply time-out to `timeoutMs` milliseconds.
    void applySerialTimeout(int timeoutMs);
    // {"error":"Protocol error! <library text>"} for the current errno.
    QByteArray protocolError() const;
    // The reply to an attempt whose transfer gave `rc` (negative, or not the
    // count asked for) with `failure` as its error number: the time-out at once;
    // otherwise `retry` after a reconnect while attempts remain; then the
    // protocol error, or `mismatch` for a result of the wrong size.
    QByteArray failedAttemptReply(int rc, int failure, int attempt, const std::function<QByteArray()> &retry,
                                  const QByteArray &mismatch);
    // True for the error numbers that mean "the slave did not answer".
    static bool isNoReply(int errnum);

    modbus_t *ctx = nullptr;
    bool isConnected = false;
    qint16 connectionType = 0;
    QMap<QByteArray, QByteArray> errors;
};
