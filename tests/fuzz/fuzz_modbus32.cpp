// Replies to the 32-bit register read and write, as raw frames from a device.
// The context talks over one end of a socket pair; the fuzz bytes wait at the
// other end, which is then shut so that a short frame ends in an error at once
// instead of a time-out.
//
// Input: byte 0 selects the link (bit 0: RTU, else TCP), the operation (bit 1:
// write, else read) and whether the harness fixes up the framing (bit 2: the
// TCP transaction and protocol identifiers and length, or the RTU checksum),
// so that frames reach the layer's own checks; byte 1 the register count;
// bytes 2-3 the start address; the rest is the reply.

#include "modbus/modbuslib.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int slave = 17;

uint16_t crc16(const uint8_t *data, size_t size)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const bool rtu = data[0] & 1;
    const bool write = data[0] & 2;
    const bool fixFraming = data[0] & 4;
    // Also outside 1..62 now and then, which must be refused before anything is sent.
    const int nb = data[1] & 0x7F;
    const int addr = (data[2] << 8) | data[3];
    std::vector<uint8_t> reply(data + 4, data + size);

    if (fixFraming) {
        if (rtu) {
            const uint16_t crc = crc16(reply.data(), reply.size());
            reply.push_back(static_cast<uint8_t>(crc & 0xFF));
            reply.push_back(static_cast<uint8_t>(crc >> 8));
        } else if (reply.size() >= 6) {
            // A fresh context sends transaction 1.
            reply[0] = 0;
            reply[1] = 1;
            reply[2] = 0;
            reply[3] = 0;
            const size_t length = reply.size() - 6;
            reply[4] = static_cast<uint8_t>(length >> 8);
            reply[5] = static_cast<uint8_t>(length & 0xFF);
        }
    }

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    modbus_t *ctx = rtu ? modbus_new_rtu("/nonexistent/ttyFUZZ0", 9600, 'N', 8, 1) : modbus_new_tcp("127.0.0.1", 502);
    if (!ctx) {
        ::close(fds[0]);
        ::close(fds[1]);
        return 0;
    }
    modbus_set_socket(ctx, fds[0]);
    modbus_set_slave(ctx, slave);
    modbus_set_response_timeout(ctx, 0, 200000);
    modbus_set_byte_timeout(ctx, 0, 200000);

    if (!reply.empty() && ::write(fds[1], reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
        std::abort();
    ::shutdown(fds[1], SHUT_WR);

    constexpr uint32_t untouched = 0xA5A5A5A5u;
    uint32_t values[MODBUS_MAX_READ_REGISTERS_32 + 2];
    for (uint32_t &v : values)
        v = untouched;
    errno = 0;
    int rc;
    if (write)
        rc = modbus_write_registers_32(ctx, addr, nb, values);
    else
        rc = modbus_read_registers_32(ctx, addr, nb, values);

    const int maxCount = write ? MODBUS_MAX_WRITE_REGISTERS_32 : MODBUS_MAX_READ_REGISTERS_32;
    if (rc != -1 && rc != nb)
        std::abort();
    if (rc == nb && (nb < 1 || nb > maxCount))
        std::abort();
    if (rc == -1 && errno == 0)
        std::abort();
    // A read fills at most the registers asked for, never one more.
    if (!write && nb <= maxCount && values[nb] != untouched)
        std::abort();

    modbus_close(ctx);
    modbus_free(ctx);
    ::close(fds[1]);
    return 0;
}
