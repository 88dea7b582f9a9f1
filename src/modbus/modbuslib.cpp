#include "modbus/modbuslib.h"

#include "platform/platform.h"

#include <QSerialPortInfo>
#include <QSettings>

#include <cerrno>
#include <cstring>

// termios2 lives in the kernel's headers, which clash with <termios.h>: this
// file includes only the kernel's view of the terminal.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

constexpr int readFunction = 0x03;
constexpr int writeFunction = 0x10;

// The header before the function code: the slave byte over RTU, the MBAP
// header over TCP. RTU frames also end in a two-byte CRC; TCP frames do not.
struct Framing {
    int header;
    int trailer;
};

Framing framingOf(modbus_t *ctx)
{
    const int header = modbus_get_header_length(ctx);
    // Only the RTU backend has a one-byte header.
    return Framing{header, header == 1 ? 2 : 0};
}

// Checks the part of a confirmation that both 32-bit operations share, and
// returns the offset of the function code or -1 with errno set.
int checkFunction(modbus_t *ctx, const uint8_t *rsp, int rc, int function)
{
    const Framing f = framingOf(ctx);
    if (rc < f.header + 2 + f.trailer) {
        errno = EMBBADDATA;
        return -1;
    }
    const int got = rsp[f.header];
    if (got == (function | 0x80)) {
        errno = MODBUS_ENOBASE + rsp[f.header + 1];
        return -1;
    }
    if (got != function) {
        errno = EMBBADDATA;
        return -1;
    }
    return f.header;
}

} // namespace

int modbus_read_registers_32(modbus_t *ctx, int addr, int nb, uint32_t *dest)
{
    if (!ctx || !dest || nb < 1 || nb > MODBUS_MAX_READ_REGISTERS_32 || addr < 0 || addr > 0xFFFF) {
        errno = EINVAL;
        return -1;
    }
    const uint8_t req[] = {
        static_cast<uint8_t>(modbus_get_slave(ctx)), readFunction,
        static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr & 0xFF),
        static_cast<uint8_t>(nb >> 8), static_cast<uint8_t>(nb & 0xFF),
    };
    if (modbus_send_raw_request(ctx, req, sizeof req) == -1)
        return -1;

    uint8_t rsp[MODBUS_MAX_ADU_LENGTH];
    const int rc = modbus_receive_confirmation(ctx, rsp);
    if (rc == -1)
        return -1;
    const int offset = checkFunction(ctx, rsp, rc, readFunction);
    if (offset == -1)
        return -1;
    const int byteCount = rsp[offset + 1];
    if (byteCount != nb * 4 || rc != offset + 2 + byteCount + framingOf(ctx).trailer) {
        errno = EMBBADDATA;
        return -1;
    }
    const uint8_t *p = rsp + offset + 2;
    for (int i = 0; i < nb; ++i, p += 4)
        dest[i] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
    return nb;
}

int modbus_write_registers_32(modbus_t *ctx, int addr, int nb, const uint32_t *src)
{
    if (!ctx || !src || nb < 1 || nb > MODBUS_MAX_WRITE_REGISTERS_32 || addr < 0 || addr > 0xFFFF) {
        errno = EINVAL;
        return -1;
    }
    uint8_t req[7 + MODBUS_MAX_WRITE_REGISTERS_32 * 4];
    int n = 0;
    req[n++] = static_cast<uint8_t>(modbus_get_slave(ctx));
    req[n++] = writeFunction;
    req[n++] = static_cast<uint8_t>(addr >> 8);
    req[n++] = static_cast<uint8_t>(addr & 0xFF);
    req[n++] = static_cast<uint8_t>(nb >> 8);
    req[n++] = static_cast<uint8_t>(nb & 0xFF);
    req[n++] = static_cast<uint8_t>(nb * 4);
    for (int i = 0; i < nb; ++i) {
        req[n++] = static_cast<uint8_t>(src[i] >> 24);
        req[n++] = static_cast<uint8_t>(src[i] >> 16);
        req[n++] = static_cast<uint8_t>(src[i] >> 8);
        req[n++] = static_cast<uint8_t>(src[i]);
    }
    if (modbus_send_raw_request(ctx, req, n) == -1)
        return -1;

    uint8_t rsp[MODBUS_MAX_ADU_LENGTH];
    const int rc = modbus_receive_confirmation(ctx, rsp);
    if (rc == -1)
        return -1;
    const int offset = checkFunction(ctx, rsp, rc, writeFunction);
    if (offset == -1)
        return -1;
    // The reply echoes the start address and the quantity.
    if (rc != offset + 5 + framingOf(ctx).trailer
        || ((rsp[offset + 1] << 8) | rsp[offset + 2]) != addr
        || ((rsp[offset + 3] << 8) | rsp[offset + 4]) != nb) {
        errno = EMBBADDATA;
        return -1;
    }
    return nb;
}

namespace modbuslib {

QStringList extraPorts(const QString &configPath)
{
    QSettings ini(configPath, QSettings::IniFormat);
    QStringList paths;
    const QStringList listed = ini.value(QStringLiteral("serial/extraPorts")).toStringList();
    for (const QString &entry : listed) {
        const QString path = entry.trimmed();
        if (!path.isEmpty())
            paths.append(path);
    }
    return paths;
}

QList<PortInfo> availablePorts(const QString &configPath)
{
    QList<PortInfo> ports;
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : present) {
        QString friendly = info.description();
        if (friendly.isEmpty())
            friendly = info.manufacturer();
        if (friendly.isEmpty())
            friendly = info.portName();
        ports.append(PortInfo{info.systemLocation(), friendly});
    }
    const QStringList extra = extraPorts(configPath);
    for (const QString &path : extra)
        ports.append(PortInfo{path, path});
    return ports;
}

namespace {
QString configFileOverride;
}

void setConfigFile(const QString &path)
{
    configFileOverride = path;
}

QList<PortInfo> availablePorts()
{
    if (!configFileOverride.isEmpty())
        return availablePorts(configFileOverride);
    return availablePorts(platform::applicationFolder() + QStringLiteral("/config.ini"));
}

bool isNoReply(int errnum)
{
    return errnum == ETIMEDOUT || errnum == EIO;
}

bool needsCustomBaudRate(int baud)
{
    // Rates libmodbus is known to map to a termios constant on Linux. Setting
    // any other rate again through termios2 does no harm.
    switch (baud) {
    case 110: case 300: case 600: case 1200: case 2400: case 4800: case 9600:
    case 19200: case 38400: case 57600: case 115200: case 230400: case 460800:
    case 1000000:
        return false;
    default:
        return true;
    }
}

bool setCustomBaudRate(modbus_t *ctx, int baud)
{
    if (!ctx || baud <= 0)
        return false;
    const int fd = modbus_get_socket(ctx);
    if (fd < 0)
        return false;
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~CBAUD;
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = static_cast<speed_t>(baud);
    tio.c_ospeed = static_cast<speed_t>(baud);
    tio.c_cflag &= ~(CBAUD << IBSHIFT);
    tio.c_cflag |= BOTHER << IBSHIFT;
    if (ioctl(fd, TCSETS2, &tio) != 0)
        return false;
    // A driver may ignore the rate without failing the call, or round it to
    // what its clock divides to (within the 2 % a UART tolerates).
    struct termios2 check;
    if (ioctl(fd, TCGETS2, &check) != 0)
        return false;
    const long got = static_cast<long>(check.c_ospeed);
    const long diff = got > baud ? got - baud : baud - got;
    return diff * 50 <= baud;
}

} // namespace modbuslib
