#include "modbus/registercodec.h"

#include <QJsonObject>
#include <QString>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

namespace registercodec {

namespace {

enum class Rule {
    Float4321Pair,     // two 16-bit registers, the first holds the high half
    Float1234Swapped,  // one 32-bit register with its halves swapped
    Float1234Pair,     // two 16-bit registers, the first holds the low half
    Float4321Register, // one 32-bit register as it is
    LongPair,          // unsigned 32 bits from two 16-bit registers, high half first
    Int16,
    Int32,  // one 32-bit register, or two 16-bit registers with the low half first
    UInt32, // as Int32, unsigned
    UInt16, // 16-bit word i of the buffer
};

bool isFloat(const QByteArray &type) { return type == "float4321" || type == "float1234"; }

Rule readRule(const Format &f)
{
    const bool r16 = f.regSize == 16;
    if (f.regType == "float4321")
        return r16 ? Rule::Float4321Pair : Rule::Float4321Register;
    if (f.regType == "float1234")
        return r16 ? Rule::Float1234Pair : Rule::Float1234Swapped;
    if (f.regType == "long" && r16)
        return Rule::LongPair;
    if (f.regType == "int")
        return f.valSize == 32 ? Rule::Int32 : Rule::Int16;
    if (f.regType == "uint" && f.valSize == 32)
        return Rule::UInt32;
    return Rule::UInt16;
}

// The j-th 16-bit word of the buffer; a 32-bit register k holds words 2k (low) and 2k+1 (high).
std::uint16_t wordAt(const Format &f, std::span<const std::uint32_t> regs, int j)
{
    if (f.regSize == 16)
        return static_cast<std::uint16_t>(regs[j]);
    const std::uint32_t r = regs[j / 2];
    return static_cast<std::uint16_t>(j % 2 == 0 ? r : r >> 16);
}

std::uint32_t pair(std::span<const std::uint32_t> regs, int i, bool highFirst)
{
    const std::uint32_t first = regs[2 * i] & 0xFFFFu;
    const std::uint32_t second = regs[2 * i + 1] & 0xFFFFu;
    return highFirst ? (first << 16 | second) : (second << 16 | first);
}

std::uint32_t swapHalves(std::uint32_t r) { return r << 16 | r >> 16; }

double floatFromBits(std::uint32_t bits) { return static_cast<double>(std::bit_cast<float>(bits)); }

template <typename T> QByteArray integerText(T value)
{
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return QByteArray(buf, static_cast<int>(res.ptr - buf));
}

QByteArray floatText(double value, std::chars_format fmt, int precision)
{
    if (!std::isfinite(value))
        return QByteArrayLiteral("null");
    // The largest single-precision value has 39 integer digits; 20 decimals and a sign fit easily.
    char buf[400];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, fmt, precision);
    if (res.ec != std::errc())
        return QByteArrayLiteral("null");
    return QByteArray(buf, static_cast<int>(res.ptr - buf));
}

QByteArray formatOne(const Format &f, Rule rule, std::span<const std::uint32_t> regs, int i)
{
    switch (rule) {
    case Rule::Float4321Pair:
        return formatGeneral(floatFromBits(pair(regs, i, true)), f.floatPrec);
    case Rule::Float1234Swapped:
        return formatGeneral(floatFromBits(swapHalves(regs[i])), f.floatPrec);
    case Rule::Float1234Pair:
        return formatFixed(floatFromBits(pair(regs, i, false)), f.floatPrec);
    case Rule::Float4321Register:
        return formatFixed(floatFromBits(regs[i]), f.floatPrec);
    case Rule::LongPair:
        return integerText(pair(regs, i, true));
    case Rule::Int16:
        return integerText(static_cast<std::int16_t>(wordAt(f, regs, i)));
    case Rule::Int32:
    case Rule::UInt32: {
        const std::uint32_t bits = f.regSize == 16 ? pair(regs, i, false) : regs[i];
        return rule == Rule::Int32 ? integerText(static_cast<std::int32_t>(bits)) : integerText(bits);
    }
    case Rule::UInt16:
        return integerText(wordAt(f, regs, i));
    }
    return QByteArray();
}

// ---- element conversions ----

// The text ECMAScript's String() gives for an element; only ever parsed back
// as a number, so any round-tripping form of a number will do.
QString jsText(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double: {
        const double d = v.toDouble();
        if (std::isnan(d))
            return QStringLiteral("NaN");
        if (std::isinf(d))
            return d > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
        char buf[64];
        const auto res = std::to_chars(buf, buf + sizeof buf, d);
        return QString::fromLatin1(buf, static_cast<int>(res.ptr - buf));
    }
    case QJsonValue::String:
        return v.toString();
    case QJsonValue::Array: {
        // Array.prototype.join: null and undefined elements become empty text.
        QStringList parts;
        for (const QJsonValue &e : v.toArray())
            parts.append(e.isNull() || e.isUndefined() ? QString() : jsText(e));
        return parts.join(QLatin1Char(','));
    }
    case QJsonValue::Object:
        return QStringLiteral("[object Object]");
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Undefined:
        return QStringLiteral("undefined");
    }
    return QString();
}

bool isJsBlank(QChar c)
{
    const char16_t u = c.unicode();
    if (u == 0x0085) // not a blank in ECMAScript, though Unicode calls it one
        return false;
    return u == 0xFEFF || c.isSpace();
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int digitValue(char c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

// StringToNumber: the trimmed text must be entirely one numeric literal.
double stringToNumber(const QString &text)
{
    qsizetype b = 0, e = text.size();
    while (b < e && isJsBlank(text.at(b)))
        ++b;
    while (e > b && isJsBlank(text.at(e - 1)))
        --e;
    if (b == e)
        return 0;
    const QString trimmed = text.mid(b, e - b);
    for (QChar c : trimmed)
        if (c.unicode() > 0x7F)
            return notANumber;
    const QByteArray s = trimmed.toLatin1();

    // 0x, 0o and 0b literals take no sign.
    if (s.size() > 2 && s[0] == '0') {
        const char p = static_cast<char>(s[1] | 0x20);
        const int radix = p == 'x' ? 16 : p == 'o' ? 8 : p == 'b' ? 2 : 0;
        if (radix) {
            double value = 0;
            for (qsizetype i = 2; i < s.size(); ++i) {
                const int d = digitValue(s[i]);
                if (d >= radix)
                    return notANumber;
                value = value * radix + d;
            }
            return value;
        }
    }

    qsizetype i = 0;
    bool negative = false;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        ++i;
    }
    const QByteArray rest = s.mid(i);
    if (rest == "Infinity")
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();

    // digits [. digits] [exponent]  or  . digits [exponent]
    qsizetype j = 0;
    int intDigits = 0, fracDigits = 0;
    while (j < rest.size() && isDigit(rest[j]))
        ++j, ++intDigits;
    if (j < rest.size() && rest[j] == '.') {
        ++j;
        while (j < rest.size() && isDigit(rest[j]))
            ++j, ++fracDigits;
    }
    if (intDigits + fracDigits == 0)
        return notANumber;
    if (j < rest.size() && (rest[j] == 'e' || rest[j] == 'E')) {
        ++j;
        if (j < rest.size() && (rest[j] == '+' || rest[j] == '-'))
            ++j;
        int expDigits = 0;
        while (j < rest.size() && isDigit(rest[j]))
            ++j, ++expDigits;
        if (expDigits == 0)
            return notANumber;
    }
    if (j != rest.size())
        return notANumber;

    double value = 0;
    const auto res = std::from_chars(rest.constData(), rest.constData() + rest.size(), value);
    if (res.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone: decide between overflow and underflow.
        const qsizetype ePos = rest.indexOf('e') >= 0 ? rest.indexOf('e') : rest.indexOf('E');
        const bool tiny = ePos >= 0 && rest.mid(ePos + 1).startsWith('-');
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (res.ec != std::errc()) {
        return notANumber;
    }
    return negative ? -value : value;
}

// IEEE rounding to single precision without an out-of-range conversion.
float roundToFloat(double d)
{
    if (std::isnan(d))
        return std::numeric_limits<float>::quiet_NaN();
    constexpr double maxFloat = std::numeric_limits<float>::max();
    // Half an ulp above the largest float: from there on the value rounds to infinity.
    const double overflowAt = maxFloat + std::ldexp(1.0, 127 - 24);
    if (std::fabs(d) >= overflowAt)
        return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    if (std::fabs(d) > maxFloat)
        return d > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max();
    return static_cast<float>(d);
}

} // namespace

int readRegistersPerValue(const Format &f)
{
    if (f.regSize != 16)
        return 1;
    return (f.valSize == 32 || isFloat(f.regType) || f.regType == "long") ? 2 : 1;
}

std::optional<int> writeRegistersPerValue(const Format &f)
{
    if (isFloat(f.regType))
        return f.regSize == 16 ? 2 : 1;
    if (f.valSize == 32) {
        if (f.regType == "int" || f.regType == "uint" || f.regType == "long")
            return f.regSize == 16 ? 2 : 1;
        return std::nullopt;
    }
    return 1;
}

QByteArray formatFixed(double value, int precision)
{
    return floatText(value, std::chars_format::fixed, precision);
}

QByteArray formatGeneral(double value, int fixedPrecision)
{
    if (value == 1e8 || std::isnan(value))
        return formatFixed(value, fixedPrecision);
    return floatText(value, std::chars_format::general, 6);
}

QByteArray formatValues(const Format &format, std::span<const std::uint32_t> registers, int valuesCnt)
{
    const Rule rule = readRule(format);
    QByteArray reply("[");
    for (int i = 0; i < valuesCnt; ++i) {
        if (i > 0)
            reply += ',';
        reply += formatOne(format, rule, registers, i);
    }
    reply += ']';
    return reply;
}

double toNumber(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return value.toDouble();
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    case QJsonValue::Null:
        return 0;
    case QJsonValue::String:
    case QJsonValue::Array:
        return stringToNumber(jsText(value));
    case QJsonValue::Object:
    case QJsonValue::Undefined:
        return notANumber;
    }
    return notANumber;
}

std::uint32_t toUint32Bits(const QJsonValue &value)
{
    const double n = toNumber(value);
    if (!std::isfinite(n))
        return 0;
    constexpr double twoTo32 = 4294967296.0;
    double m = std::fmod(std::trunc(n), twoTo32);
    if (m < 0)
        m += twoTo32;
    // m is now a whole number in [0, 2^32): the conversion is exact.
    return static_cast<std::uint32_t>(m);
}

float toFloat(const QJsonValue &value)
{
    if (value.isDouble())
        return roundToFloat(value.toDouble());
    bool ok = false;
    const double d = jsText(value).toUtf8().toDouble(&ok);
    return ok ? roundToFloat(d) : 0.0f;
}

std::vector<std::uint32_t> encodeValues(const Format &f, const QJsonArray &values)
{
    const int perValue = writeRegistersPerValue(f).value_or(1);
    std::vector<std::uint32_t> regs(static_cast<std::size_t>(values.size()) * perValue, 0);
    const bool r16 = f.regSize == 16;
    auto putPair = [&](qsizetype i, std::uint32_t bits, bool highFirst) {
        regs[2 * i] = highFirst ? bits >> 16 : bits & 0xFFFFu;
        regs[2 * i + 1] = highFirst ? bits & 0xFFFFu : bits >> 16;
    };
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QJsonValue v = values.at(i);
        if (isFloat(f.regType)) {
            const std::uint32_t bits = std::bit_cast<std::uint32_t>(toFloat(v));
            const bool is4321 = f.regType == "float4321";
            if (r16)
                putPair(i, bits, is4321);
            else
                regs[i] = is4321 ? bits : swapHalves(bits);
        } else if (perValue == 2 || (!r16 && f.valSize == 32)) {
            // "int", "uint" and "long" with 32-bit values. Over 16-bit registers
            // "long" goes high half first, as it is read; the others low half first.
            const std::uint32_t bits = toUint32Bits(v);
            if (r16)
                putPair(i, bits, f.regType == "long");
            else
                regs[i] = bits;
        } else {
            regs[i] = toUint32Bits(v) & 0xFFFFu;
        }
    }
    return regs;
}

} // namespace registercodec
