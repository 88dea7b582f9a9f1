#pragma once
// The value layer of register reading and writing: which registers a value
// occupies, how a run of registers turns into the JSON numbers of a reply, and
// how the elements of a "regVals" array turn into registers. No I/O here.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace registercodec {

// A value layout as the request names it. regType is compared byte for byte.
struct Format {
    QByteArray regType = "int";
    int regSize = 16;  // register width in bits: 16 or 32
    int valSize = 16;  // value width in bits: 16 or 32
    int floatPrec = 2; // digits after the point for the fixed format, 0..20
};

// Registers (of the register width) one value takes when read. Over 16-bit
// registers the float types and "long" always take two, so that a value is
// never assembled from a register that was not read.
int readRegistersPerValue(const Format &format);

// Registers one value takes when written, or nothing when the combination has
// no encoding that fills every register it covers (a type without a 32-bit
// encoding asked for 32-bit values).
std::optional<int> writeRegistersPerValue(const Format &format);

// The reply array for valuesCnt values decoded from `registers` (one element
// per register, 16-bit registers in the low half). `registers` must hold
// valuesCnt * readRegistersPerValue(format) elements.
QByteArray formatValues(const Format &format, std::span<const std::uint32_t> registers, int valuesCnt);

// One number as C's %.*f would print it in the "C" locale; `null` when it is
// not a number or infinite (neither has a JSON form).
QByteArray formatFixed(double value, int precision);
// One number as C's %g would print it (6 significant digits) in the "C"
// locale, except that exactly 1e8 and NaN take the fixed format; `null` when
// it is not a number or infinite.
QByteArray formatGeneral(double value, int fixedPrecision);

// The registers (one element per register, 16-bit registers in the low half)
// that encode `values`. Requires writeRegistersPerValue(format) to have a value.
std::vector<std::uint32_t> encodeValues(const Format &format, const QJsonArray &values);

// ECMAScript ToNumber of a JSON element: numbers as they are, strings by the
// string-to-number grammar (blanks trimmed, "" is 0, 0x/0o/0b prefixes,
// Infinity), true/false 1/0, null 0, arrays through their joined text,
// objects NaN.
double toNumber(const QJsonValue &value);
// ECMAScript ToInt32 of toNumber(value), as its 32 bits: truncation toward
// zero, wrapping modulo 2^32, NaN and infinities 0.
std::uint32_t toUint32Bits(const QJsonValue &value);
// The element's text parsed as a decimal number in the "C" locale (0 when it
// does not parse), rounded to single precision.
float toFloat(const QJsonValue &value);

} // namespace registercodec
