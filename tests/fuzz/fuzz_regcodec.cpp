// Register values: the reply text for raw registers read from a device, and
// the registers written for a "regVals" array, in every layout a request may
// name.
//
// Input: byte 0 picks the type (low 3 bits) and the register and value widths
// (bits 3-4: 16/16, 16/32 or 32/32, the layouts a request is allowed); byte 1
// the float precision; byte 2 the number of values; then a count n of register
// bytes (byte 3), n bytes that fill the registers (repeated as needed), and
// the rest as the "regVals" text as the request carries it.

#include "fuzzsupport.h"

#include "modbus/registercodec.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

const QByteArray types[] = {"int", "uint", "long", "float4321", "float1234", "", "INT", "float"};

// What a value reads back as after it was written, for the types whose
// written and read layouts mirror each other.
double readBack(const registercodec::Format &format, std::uint32_t bits)
{
    const bool wide = format.valSize == 32;
    if (format.regType == "int")
        return wide ? double(std::int32_t(bits)) : double(std::int16_t(bits & 0xFFFFu));
    return wide ? double(bits) : double(bits & 0xFFFFu);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    fuzzsupport::ensureApplication();

    registercodec::Format format;
    format.regType = types[data[0] & 7];
    switch ((data[0] >> 3) & 3) {
    case 0: format.regSize = 16; format.valSize = 16; break;
    case 1: format.regSize = 16; format.valSize = 32; break;
    default: format.regSize = 32; format.valSize = 32; break;
    }
    format.floatPrec = data[1] % 21;
    const int valuesCnt = 1 + data[2] % 200;
    const size_t registerBytes = std::min<size_t>(data[3], size - 4);
    const uint8_t *fill = data + 4;
    const QByteArray regVals(reinterpret_cast<const char *>(data + 4 + registerBytes),
                             static_cast<qsizetype>(size - 4 - registerBytes));

    // Reading: the registers as the engine hands them over (16-bit registers in the low half).
    const int perValue = registercodec::readRegistersPerValue(format);
    std::vector<std::uint32_t> registers(static_cast<size_t>(valuesCnt * perValue), 0);
    for (size_t i = 0; registerBytes > 0 && i < registers.size(); ++i) {
        std::uint32_t r = 0;
        for (size_t b = 0; b < 4; ++b)
            r = r << 8 | fill[(i * 4 + b) % registerBytes];
        registers[i] = format.regSize == 16 ? r & 0xFFFFu : r;
    }
    const QByteArray reply = registercodec::formatValues(format, registers, valuesCnt);
    // The reply must be a JSON array of exactly the values asked for: no
    // "nan", no "inf", no locale's decimal comma.
    QJsonParseError error;
    const QJsonDocument replyDoc = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError || !replyDoc.isArray() || replyDoc.array().size() != valuesCnt)
        std::abort();

    // Writing: the "regVals" text is percent-decoded once more than the server did.
    const std::optional<int> writePerValue = registercodec::writeRegistersPerValue(format);
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromPercentEncoding(regVals));
    if (!writePerValue || !doc.isArray())
        return 0;
    const QJsonArray values = doc.array();
    for (const QJsonValue &v : values) {
        registercodec::toNumber(v);
        registercodec::toFloat(v);
    }
    const std::vector<std::uint32_t> written = registercodec::encodeValues(format, values);
    if (written.size() != static_cast<size_t>(values.size()) * static_cast<size_t>(*writePerValue))
        std::abort();
    if (format.regSize == 16)
        for (const std::uint32_t r : written)
            if (r > 0xFFFFu)
                std::abort();

    // What is written as "int" or "uint" reads back as the same number.
    if ((format.regType == "int" || format.regType == "uint") && !values.isEmpty()
        && registercodec::readRegistersPerValue(format) == *writePerValue) {
        const QJsonDocument back = QJsonDocument::fromJson(
            registercodec::formatValues(format, written, static_cast<int>(values.size())));
        const QJsonArray numbers = back.array();
        if (numbers.size() != values.size())
            std::abort();
        for (qsizetype i = 0; i < values.size(); ++i)
            if (numbers.at(i).toDouble() != readBack(format, registercodec::toUint32Bits(values.at(i))))
                std::abort();
    }
    return 0;
}
