#include "modbus/modbusengine.h"

#include "modbus/enginesupport.h"

#include "modbus/modbuslib.h"

#include <QSettings>
#include <QString>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

// Tables, state, the port report, connect and disconnect.

const std::array<ModbusEngine::BaudRate, 11> ModbusEngine::baudRateTable = {{
    {1200, "1200"},
    {2400, "2400"},
    {4800, "4800"},
    {9600, "9600"},
    {19200, "19200"},
    {38400, "38400"},
    {57600, "57600"},
    {115200, "115200"},
    {230400, "230400"},
    {256000, "256000"},
    {1000000, "1000000"},
}};

const std::array<ModbusEngine::Mode, 4> ModbusEngine::modeTable = {{
    {"RTU 8N2", 'N', 2},
    {"RTU 8E1", 'E', 1},
    {"RTU 8O1", 'O', 1},
    {"RTU 8N1", 'N', 1},
}};

namespace {

using enginesupport::requestNumber;
using enginesupport::UserSettings;

// Text inside a JSON string. Port names and addresses are the user's own
// texts: a quote or a backslash in them must not break the reply.
QByteArray jsonText(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[(c >> 4) & 0xF];
                out += hex[c & 0xF];
            } else {
                out += c;
            }
        }
    }
    return out;
}

struct Framing {
    char parity;
    int stopBits;
};

// Any mode other than 0, 1 and 2 is 8N1.
Framing framingForMode(qint16 mode)
{
    if (mode >= 0 && mode <= 2)
        return Framing{ModbusEngine::modeTable[mode].parity, ModbusEngine::modeTable[mode].stopBits};
    return Framing{'N', 1};
}

// The first port whose name equals or contains `wanted`, in enumeration order.
bool findPort(const QString &wanted, QString *matched)
{
    const QList<modbuslib::PortInfo> ports = modbuslib::availablePorts();
    for (const modbuslib::PortInfo &port : ports) {
        if (port.portName.contains(wanted, Qt::CaseSensitive)) {
            *matched = port.portName;
            return true;
        }
    }
    return false;
}

// Opens an RTU link; on success the rate is the one asked for, even where
// libmodbus has no constant for it.
bool openRtu(modbus_t *ctx, int rate)
{
    if (!ctx || modbus_connect(ctx) == -1)
        return false;
    if (modbuslib::needsCustomBaudRate(rate) && !modbuslib::setCustomBaudRate(ctx, rate)) {
        modbus_close(ctx);
        return false;
    }
    return true;
}

// Waits at most `waitMs` for a TCP connection to address:port.
bool probeTcp(const QString &address, quint16 port, int waitMs)
{
    in_addr ip{};
    if (inet_aton(address.toLatin1().constData(), &ip) == 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = ip;
    bool connected = false;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) {
        connected = true;
    } else if (errno == EINPROGRESS) {
        pollfd pfd{fd, POLLOUT, 0};
        int rc;
        do {
            rc = ::poll(&pfd, 1, waitMs);
        } while (rc == -1 && errno == EINTR);
        if (rc == 1) {
            int soError = 0;
            socklen_t len = sizeof soError;
            connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0;
        }
    }
    ::close(fd);
    return connected;
}

} // namespace

ModbusEngine::ModbusEngine(QObject *parent) : QObject(parent)
{
    errors.insert("ERR_NOT_CONNECTED", R"({"error":"Not connected"})");
    errors.insert("ERR_INPUT_PARAMS", R"({"error":"Input parameters error!"})");
    errors.insert("ERR_TOO_MANY_REGS", R"({"error":"Too many registers"})");
    errors.insert("ERR_TIMEOUT", R"({"error":"I/O error: did not receive any data from slave."})");
    errors.insert("ERR_SOCKET_CONN", R"({"error":"Unable to connect with TCP socket."})");
    errors.insert("ERR_REG_NUMB_NO_MATCH", R"({"error":"Number of registers returned does not match!"})");
    errors.insert("ERR_INVALID_COM", R"({"error":"Invalid port!"})");
}

ModbusEngine::~ModbusEngine()
{
    releaseContext();
}

int ModbusEngine::baudRateAt(int index)
{
    if (static_cast<unsigned>(index) >= baudRateTable.size())
        return -1;
    return baudRateTable[index].rate;
}

void ModbusEngine::releaseContext()
{
    if (ctx) {
        modbus_close(ctx);
        modbus_free(ctx);
        ctx = nullptr;
    }
}

void ModbusEngine::applySerialTimeout(int timeoutMs)
{
    // Zero or less keeps the library's default; the library refuses 0 s 0 us.
    if (!ctx || timeoutMs <= 0)
        return;
    modbus_set_response_timeout(ctx, static_cast<uint32_t>(timeoutMs / 1000),
                                static_cast<uint32_t>(timeoutMs % 1000) * 1000u);
}

QByteArray ModbusEngine::protocolError() const
{
    return QByteArray(R"({"error":"Protocol error! )") + modbus_strerror(errno) + QByteArray(R"("})");
}

bool ModbusEngine::isNoReply(int errnum)
{
    return modbuslib::isNoReply(errnum);
}

QByteArray ModbusEngine::getPortSettings()
{
    QByteArray reply = R"({"ports":{)";
    const QList<modbuslib::PortInfo> ports = modbuslib::availablePorts();
    for (int i = 0; i < ports.size(); ++i) {
        QString name = ports[i].portName;
        // Windows device paths (\\.\COM10) are shown by their last five characters.
        if (name.contains(QStringLiteral("\\.")))
            name = name.right(5);
        if (i > 0)
            reply += ',';
        reply += '"' + QByteArray::number(i) + R"(":{"portName":")" + jsonText(name)
                 + R"(","friendName":")" + jsonText(ports[i].friendName) + R"("})";
    }
    reply += R"(},"baudRate":{)";
    for (size_t i = 0; i < baudRateTable.size(); ++i) {
        if (i > 0)
            reply += ',';
        reply += '"' + QByteArray::number(qulonglong(i)) + R"(":")" + baudRateTable[i].text + '"';
    }
    reply += R"(},"mode":{)";
    for (size_t i = 0; i < modeTable.size(); ++i) {
        if (i > 0)
            reply += ',';
        reply += '"' + QByteArray::number(qulonglong(i)) + R"(":")" + modeTable[i].text + '"';
    }

    UserSettings store;
    const auto text = [&store](const char *key, const QVariant &fallback) {
        return store.value(QLatin1String(key), fallback).toString();
    };
    reply += R"(},"userSettings":{"port":")" + jsonText(text("portName", 0)) + '"';
    reply += R"(,"slaveID":)" + text("slaveID", 1).toUtf8();
    reply += R"(,"baudRate":)" + text("baudRate", 0).toUtf8();
    reply += R"(,"mode":)" + text("mode", 3).toUtf8();
    reply += R"(,"timeout":)" + text("timeout", 1000).toUtf8();
    reply += R"(,"tcpIp":")" + jsonText(text("tcpIp", QStringLiteral("192.168.1.100"))) + '"';
    reply += R"(,"tcpPort":)" + text("tcpPort", 502).toUtf8();
    reply += R"(,"connectionType":")" + QByteArray(connectionType == 0 ? "serial" : "tcp") + '"';
    reply += R"(,"isConnected":)" + QByteArray(isConnected ? "true" : "false") + "}}";
    return reply;
}

QByteArray ModbusEngine::connect(const ParameterMap &params)
{
    if (!params.contains("connType"))
        return errors.value("ERR_INPUT_PARAMS");

    if (params.value("connType") == "serial") {
        for (const char *key : {"portSelect", "slaveID", "baudRate", "mode", "timeout"}) {
            if (!params.contains(key))
                return errors.value("ERR_INPUT_PARAMS");
        }
        const QString portText = QString::fromUtf8(params.value("portSelect"));
        const int slaveId = requestNumber(params, "slaveID");
        const int baudIndex = requestNumber(params, "baudRate");
        const int mode = requestNumber(params, "mode");
        const int timeout = requestNumber(params, "timeout");

        // Stored before the port is looked up, so that the boot loader sees
        // the user's choice even when the connect fails.
        {
            UserSettings store;
            store.setValue(QStringLiteral("Selected_Port"), portText.mid(3));
        }

        QString device;
        if (!findPort(portText, &device))
            return R"({"error":"Selected serial port not found."})";
        // Parallel ports are refused by name; with device paths the name is
        // the path's last piece (a listed /some/dir/LPT1 is refused as LPT1 is).
        if (device.section(QLatin1Char('/'), -1).startsWith(QStringLiteral("LPT")))
            return errors.value("ERR_INVALID_COM");
        const int rate = baudRateAt(baudIndex);
        if (rate < 0)
            return R"({"error":"Baud rate error!"})";
        const Framing framing = framingForMode(static_cast<qint16>(mode));

        releaseContext();
        ctx = modbus_new_rtu(device.toLocal8Bit().constData(), rate, framing.parity, 8, framing.stopBits);
        if (!openRtu(ctx, rate)) {
            if (ctx)
                modbus_free(ctx);
            ctx = nullptr;
            isConnected = false;
            return R"({"error":"Could not connect to serial port!"})";
        }

        {
            UserSettings store;
            store.setValue(QStringLiteral("portName"), portText);
            store.setValue(QStringLiteral("slaveID"), int(static_cast<qint16>(slaveId)));
            store.setValue(QStringLiteral("baudRate"), baudIndex);
            store.setValue(QStringLiteral("mode"), int(static_cast<qint16>(mode)));
            store.setValue(QStringLiteral("timeout"), timeout);
        }
        isConnected = true;
        connectionType = 0;
        applySerialTimeout(timeout);
        return R"({"ok":"Connected with serial port."})";
    }

    for (const char *key : {"ipAddres_tcp", "slaveID", "port_tcp", "timeout"}) {
        if (!params.contains(key))
            return errors.value("ERR_INPUT_PARAMS");
    }
    const QByteArray address = params.value("ipAddres_tcp");
    const int slaveId = requestNumber(params, "slaveID");
    const int port = requestNumber(params, "port_tcp");
    const int timeout = requestNumber(params, "timeout");

    releaseContext();
    ctx = modbus_new_tcp(address.constData(), port);
    {
        UserSettings store;
        store.setValue(QStringLiteral("tcpIp"), QString::fromUtf8(address));
        store.setValue(QStringLiteral("slaveID"), int(static_cast<qint16>(slaveId)));
        store.setValue(QStringLiteral("tcpPort"), port);
        store.setValue(QStringLiteral("timeout"), timeout);
    }

    // A context the library refused (an empty or over-long address) cannot
    // carry a request, whatever the probe finds.
    if (ctx && checkTcpLink()) {
        modbus_close(ctx);
        isConnected = true;
        connectionType = 1;
        return R"({"ok":"Connected with Modbus TCP."})";
    }
    releaseContext();
    isConnected = false;
    return R"({"error":"Could not connect to Modbus TCP!"})";
}

QByteArray ModbusEngine::disconnect()
{
    releaseContext();
    isConnected = false;
    return R"({"ok":"Disconnected"})";
}

bool ModbusEngine::checkTcpLink()
{
    QString address;
    quint16 port = 0;
    int timeout = 0;
    {
        UserSettings store;
        address = store.value(QStringLiteral("tcpIp")).toString();
        port = static_cast<quint16>(store.value(QStringLiteral("tcpPort"), 0).toInt());
        timeout = store.value(QStringLiteral("timeout"), 0).toInt();
    }
    // Never wait forever (nor a minute more) while the Modbus lock is held.
    const int waitMs = std::clamp(timeout, 0, 60000);
    if (!probeTcp(address, port, waitMs))
        return false;
    if (ctx)
        modbus_connect(ctx);
    return true;
}

bool ModbusEngine::reconnect()
{
    if (connectionType == 1)
        return true;
    if (!isConnected)
        return false;
    disconnect();
    return reconnectSerial();
}

bool ModbusEngine::serialLineReady()
{
    if (connectionType != 0 || modbus_get_socket(ctx) >= 0)
        return true;
    if (reconnectSerial())
        return true;
    isConnected = false;
    return false;
}

void ModbusEngine::closeFailedSerialLine(int failure)
{
    // A device that went away (an adapter unplugged) leaves its descriptor
    // failing with EIO for good, even once the device is back under the same
    // name; closed here, the line is opened again before the next request.
    if (connectionType == 0 && failure == EIO)
        modbus_close(ctx);
}

bool ModbusEngine::reconnectSerial()
{
    QString portText;
    int baudIndex = 0;
    int mode = 0;
    int timeout = 0;
    {
        UserSettings store;
        portText = store.value(QStringLiteral("portName")).toString();
        baudIndex = store.value(QStringLiteral("baudRate"), 0).toInt();
        mode = store.value(QStringLiteral("mode"), 0).toInt();
        timeout = store.value(QStringLiteral("timeout"), 0).toInt();
    }
    QString device;
    if (!findPort(portText, &device))
        return false;
    const int rate = baudRateAt(baudIndex);
    const Framing framing = framingForMode(static_cast<qint16>(mode));

    releaseContext();
    ctx = modbus_new_rtu(device.toLocal8Bit().constData(), rate, framing.parity, 8, framing.stopBits);
    // A failed open keeps the new context, unopened; the next connect or
    // disconnect releases it.
    if (!openRtu(ctx, rate))
        return false;
    isConnected = true;
    applySerialTimeout(timeout);
    return true;
}
