#include "modbus/modbusengine.h"

#include "modbus/enginesupport.h"
#include "modbus/modbuslib.h"
#include "modbus/registercodec.h"
#include "platform/platform.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>

#include <algorithm>
#include <cerrno>
#include <vector>

// Reading and writing registers, and identifying the slave.

namespace {

constexpr int pauseMs = 50;
constexpr int maxValues = 200;
constexpr int lastRetryingAttempt = 2;

// Largest register counts one request frame may carry.
constexpr int maxRead16 = 125;
constexpr int maxWrite16 = 123;
constexpr int maxRead32 = 62;
constexpr int maxWrite32 = 61;

using enginesupport::requestNumber;
using enginesupport::UserSettings;

int storedSlaveId()
{
    return UserSettings().value(QStringLiteral("slaveID"), 0).toInt();
}

// Checks shared by reading and writing, in the order they are answered. Fills
// `format` and returns an empty text when the sizes are acceptable.
QByteArray checkSizes(const ParameterMap &params, registercodec::Format &format)
{
    if (params.contains("regSize")) {
        format.regSize = requestNumber(params, "regSize");
        if (format.regSize != 16 && format.regSize != 32)
            return QByteArrayLiteral("{\"error\":\"Invalid registers size!\"}");
    }
    if (params.contains("valSize")) {
        format.valSize = requestNumber(params, "valSize");
        if (format.valSize != 16 && format.valSize != 32)
            return QByteArrayLiteral("{\"error\":\"Invalid value size!\"}");
    }
    return QByteArray();
}

// The largest frame that does not cut a value in two.
int frameLimit(int protocolLimit, int perValue) { return protocolLimit / perValue * perValue; }

// A run split into several frames must stay inside the 16-bit address space:
// a later frame's address would otherwise wrap round to register 0 and read or
// overwrite registers the user never named.
bool splitRunFits(int regAddr, int count, int frameMax)
{
    return count <= frameMax || (regAddr >= 0 && qint64(regAddr) + count <= 65536);
}

// Runs `transfer(offset, count)` over consecutive frames covering `total`
// registers. Returns the total on success, the failing frame's negative
// result, or for a frame of the wrong size a count that differs from the total.
template <typename Transfer> int inFrames(int total, int frameMax, Transfer transfer)
{
    for (int offset = 0; offset < total;) {
        const int n = std::min(frameMax, total - offset);
        const int rc = transfer(offset, n);
        if (rc < 0)
            return rc;
        if (rc != n)
            return rc < n ? offset + rc : total + 1;
        offset += n;
    }
    return total;
}

} // namespace

QByteArray ModbusEngine::readRegisters(const ParameterMap &params, int attempt)
{
    platform::sleepMs(pauseMs);
    if (!ctx)
        return errors.value("ERR_NOT_CONNECTED");
    const int slave = storedSlaveId();

    const int valuesCnt = requestNumber(params, "valuesCnt");
    if (!params.contains("regAddr") || !params.contains("valuesCnt") || valuesCnt <= 0)
        return errors.value("ERR_INPUT_PARAMS");
    registercodec::Format format;
    if (QByteArray sizeError = checkSizes(params, format); !sizeError.isEmpty())
        return sizeError;
    if (params.contains("floatPrec")) {
        format.floatPrec = requestNumber(params, "floatPrec");
        if (static_cast<unsigned>(format.floatPrec) > 20)
            return QByteArrayLiteral("{\"error\":\"Invalid float precision!\"}");
    }
    if (format.regSize == 32 && format.valSize != 32)
        return QByteArrayLiteral("{\"error\":\"Invalid one value size!\"}");
    if (valuesCnt > maxValues)
        return errors.value("ERR_TOO_MANY_REGS");
    if (params.contains("regType"))
        format.regType = params.value("regType");
    const int regAddr = requestNumber(params, "regAddr");

    const int perValue = registercodec::readRegistersPerValue(format);
    const int count = valuesCnt * perValue;
    const int frameMax = frameLimit(format.regSize == 16 ? maxRead16 : maxRead32, perValue);
    if (!splitRunFits(regAddr, count, frameMax))
        return errors.value("ERR_INPUT_PARAMS");
    std::vector<std::uint32_t> registers(count, 0);

    if (connectionType == 1 && !checkTcpLink())
        return errors.value("ERR_SOCKET_CONN");
    if (!serialLineReady())
        return errors.value("ERR_TIMEOUT");
    modbus_set_slave(ctx, slave);
    int rc;
    if (format.regSize == 16) {
        std::vector<std::uint16_t> words(count, 0);
        rc = inFrames(count, frameMax, [&](int offset, int n) {
            return modbus_read_registers(ctx, regAddr + offset, n, words.data() + offset);
        });
        std::copy(words.begin(), words.end(), registers.begin());
    } else {
        rc = inFrames(count, frameMax, [&](int offset, int n) {
            return modbus_read_registers_32(ctx, regAddr + offset, n, registers.data() + offset);
        });
    }
    const int failure = errno;
    if (connectionType == 1)
        modbus_close(ctx);

    if (rc == count)
        return registercodec::formatValues(format, registers, valuesCnt);
    return failedAttemptReply(rc, failure, attempt, [&] { return readRegisters(params, attempt + 1); },
                              errors.value("ERR_REG_NUMB_NO_MATCH"));
}

QByteArray ModbusEngine::writeRegisters(const ParameterMap &params, int attempt)
{
    if (!ctx)
        return errors.value("ERR_NOT_CONNECTED");
    const int slave = storedSlaveId();
    platform::sleepMs(pauseMs);

    const int valuesCnt = requestNumber(params, "valuesCnt");
    if (!params.contains("regAddr") || !params.contains("valuesCnt") || !params.contains("regVals") || valuesCnt <= 0)
        return errors.value("ERR_INPUT_PARAMS");
    registercodec::Format format;
    if (QByteArray sizeError = checkSizes(params, format); !sizeError.isEmpty())
        return sizeError;
    if (format.regSize == 32 && format.valSize != 32)
        return QByteArrayLiteral("{\"error\":\"Invalid one value size!\"}");
    if (params.contains("regType"))
        format.regType = params.value("regType");
    // A type without a 32-bit encoding would leave half of the registers it covers unfilled.
    const std::optional<int> perValue = registercodec::writeRegistersPerValue(format);
    if (!perValue)
        return QByteArrayLiteral("{\"error\":\"Invalid value size!\"}");
    if (valuesCnt > maxValues)
        return errors.value("ERR_TOO_MANY_REGS");
    const int regAddr = requestNumber(params, "regAddr");
    const int count = valuesCnt * *perValue;
    const int frameMax = frameLimit(format.regSize == 16 ? maxWrite16 : maxWrite32, *perValue);
    if (!splitRunFits(regAddr, count, frameMax))
        return errors.value("ERR_INPUT_PARAMS");
    modbus_set_slave(ctx, slave);

    // Pages percent-encode the array once more so that %, & and = survive the query string.
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromPercentEncoding(params.value("regVals")), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isArray() || doc.array().size() != valuesCnt)
        return QByteArrayLiteral("{\"error\":\"Registers values error!\"}");
    const std::vector<std::uint32_t> registers = registercodec::encodeValues(format, doc.array());

    if (connectionType == 1 && !checkTcpLink())
        return errors.value("ERR_SOCKET_CONN");
    if (!serialLineReady())
        return errors.value("ERR_TIMEOUT");
    int rc;
    if (format.regSize == 16) {
        const std::vector<std::uint16_t> words(registers.begin(), registers.end());
        rc = inFrames(count, frameMax, [&](int offset, int n) {
            return modbus_write_registers(ctx, regAddr + offset, n, words.data() + offset);
        });
    } else {
        rc = inFrames(count, frameMax, [&](int offset, int n) {
            return modbus_write_registers_32(ctx, regAddr + offset, n, registers.data() + offset);
        });
    }
    const int failure = errno;
    if (connectionType == 1)
        modbus_close(ctx);

    if (rc == count)
        return QByteArrayLiteral("{\"ok\":\"Values successfully sent.\"}");
    return failedAttemptReply(rc, failure, attempt, [&] { return writeRegisters(params, attempt + 1); },
                              errors.value("ERR_REG_NUMB_NO_MATCH"));
}

QByteArray ModbusEngine::identifySlave(int attempt)
{
    if (!ctx)
        return errors.value("ERR_NOT_CONNECTED");
    const int slave = storedSlaveId();
    if (connectionType == 1 && !checkTcpLink())
        return errors.value("ERR_SOCKET_CONN");
    if (!serialLineReady())
        return errors.value("ERR_TIMEOUT");

    modbus_set_slave(ctx, slave);
    std::uint8_t report[255] = {};
    const int n = modbus_report_slave_id(ctx, sizeof report, report);
    const int failure = errno;
    if (connectionType == 1)
        modbus_close(ctx);

    if (n >= 1 && n <= 254) {
        UserSettings().setValue(QStringLiteral("Brask_ID"), QString::number(report[0]));
        QByteArray reply = "{\"id\":" + QByteArray::number(report[0]) + ",\"desc\":\"";
        for (int i = 2; i < n; ++i)
            if (report[i] >= 0x20 && report[i] <= 0x7D)
                reply += escapeJsonChar(static_cast<char>(report[i]));
        reply += "\",\"descArray\":[";
        for (int i = 0; i < n; ++i) {
            if (i > 0)
                reply += ',';
            reply += QByteArray::number(report[i]);
        }
        reply += "]}";
        return reply;
    }
    return failedAttemptReply(n, failure, attempt, [&] { return identifySlave(attempt + 1); },
                              QByteArrayLiteral("{\"error\":\"Unknown error!\"}"));
}

QByteArray ModbusEngine::failedAttemptReply(int rc, int failure, int attempt,
                                            const std::function<QByteArray()> &retry, const QByteArray &mismatch)
{
    if (rc < 0 && isNoReply(failure)) {
        closeFailedSerialLine(failure);
        return errors.value("ERR_TIMEOUT");
    }
    if (attempt <= lastRetryingAttempt && reconnect())
        return retry();
    if (rc < 0) {
        errno = failure;
        return protocolError();
    }
    return mismatch;
}

QByteArray ModbusEngine::escapeJsonChar(char c)
{
    switch (c) {
    case '\b':
        return QByteArrayLiteral("\\b");
    case '\t':
        return QByteArrayLiteral("\\t");
    case '\n':
        return QByteArrayLiteral("\\n");
    case '\f':
        return QByteArrayLiteral("\\f");
    case '\r':
        return QByteArrayLiteral("\\r");
    case '"':
        return QByteArrayLiteral("\\\"");
    case '/':
        return QByteArrayLiteral("\\/");
    case '\\':
        return QByteArrayLiteral("\\\\");
    default:
        return QByteArray(1, c);
    }
}
