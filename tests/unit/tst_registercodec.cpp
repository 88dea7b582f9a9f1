// The value layer: register layouts, reply number texts and the conversions
// of "regVals" elements. Also run under a locale with a decimal comma.

#include "modbus/registercodec.h"

#include <QJsonDocument>
#include <QTest>

#include <clocale>
#include <cmath>
#include <cstdio>

using registercodec::Format;

namespace {

Format makeFormat(const QByteArray &type, int regSize, int valSize, int floatPrec = 2)
{
    Format f;
    f.regType = type;
    f.regSize = regSize;
    f.valSize = valSize;
    f.floatPrec = floatPrec;
    return f;
}

// One element, written as JSON text.
QJsonValue element(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson("[" + json + "]");
    Q_ASSERT(doc.isArray());
    return doc.array().at(0);
}

} // namespace

class TestRegisterCodec : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void readFormat_data();
    void readFormat();
    void numberTexts_data();
    void numberTexts();
    void writeEncoding_data();
    void writeEncoding();
    void integerConversion_data();
    void integerConversion();
    void nonFiniteNumbersGiveZero();
    void floatConversion_data();
    void floatConversion();
};

void TestRegisterCodec::initTestCase()
{
    // When the run is meant to use a decimal-comma locale, make sure it really
    // does, or the cases below would prove nothing.
    if (qEnvironmentVariableIsSet("ORVO_EXPECT_DECIMAL_COMMA")) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%.1f", 1.5);
        QCOMPARE(QByteArray(buf), QByteArray("1,5"));
    }
}

void TestRegisterCodec::readFormat_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<int>("floatPrec");
    QTest::addColumn<QList<quint32>>("registers");
    QTest::addColumn<int>("valuesCnt");
    QTest::addColumn<QByteArray>("expected");

    using L = QList<quint32>;
    // Floats over 16-bit registers: which half comes first, and which format.
    QTest::newRow("float4321 16/32, high first, general") << QByteArray("float4321") << 16 << 32 << 2 << L{0x4049, 0x0FDB} << 1 << QByteArray("[3.14159]");
    QTest::newRow("float1234 16/32, low first, fixed") << QByteArray("float1234") << 16 << 32 << 2 << L{0x0FDB, 0x4049} << 1 << QByteArray("[3.14]");
    QTest::newRow("float4321 1e8 takes the fixed format") << QByteArray("float4321") << 16 << 32 << 2 << L{0x4CBE, 0xBC20} << 1 << QByteArray("[100000000.00]");
    QTest::newRow("float4321 near 1e8 stays general") << QByteArray("float4321") << 16 << 32 << 2 << L{0x4CEB, 0x79A3} << 1 << QByteArray("[1.23457e+08]");
    QTest::newRow("float types take a pair whatever valSize") << QByteArray("float4321") << 16 << 16 << 2 << L{0x4049, 0x0FDB, 0x3F80, 0} << 2 << QByteArray("[3.14159,1]");
    QTest::newRow("float1234 floatPrec 0") << QByteArray("float1234") << 16 << 16 << 0 << L{0x0FDB, 0x4049} << 1 << QByteArray("[3]");
    QTest::newRow("float1234 floatPrec 20") << QByteArray("float1234") << 16 << 32 << 20 << L{0x0FDB, 0x4049} << 1 << QByteArray("[3.14159274101257324219]");
    // Floats over 32-bit registers.
    QTest::newRow("float1234 32, halves swapped, general") << QByteArray("float1234") << 32 << 32 << 2 << L{0x0FDB4049} << 1 << QByteArray("[3.14159]");
    QTest::newRow("float4321 32, as is, fixed") << QByteArray("float4321") << 32 << 32 << 2 << L{0x40490FDB} << 1 << QByteArray("[3.14]");
    // Values with no JSON form.
    QTest::newRow("NaN general") << QByteArray("float4321") << 16 << 32 << 2 << L{0x7FC0, 0} << 1 << QByteArray("[null]");
    QTest::newRow("NaN fixed") << QByteArray("float1234") << 16 << 32 << 2 << L{0, 0x7FC0} << 1 << QByteArray("[null]");
    QTest::newRow("-Inf general") << QByteArray("float4321") << 16 << 32 << 2 << L{0xFF80, 0} << 1 << QByteArray("[null]");
    QTest::newRow("+Inf fixed 32") << QByteArray("float4321") << 32 << 32 << 2 << L{0x7F800000} << 1 << QByteArray("[null]");
    // Integers.
    QTest::newRow("int 16: signed") << QByteArray("int") << 16 << 16 << 2 << L{0xFFFF, 7} << 2 << QByteArray("[-1,7]");
    QTest::newRow("uint 16: unsigned") << QByteArray("uint") << 16 << 16 << 2 << L{0xFFFF} << 1 << QByteArray("[65535]");
    QTest::newRow("int 16/32, low first") << QByteArray("int") << 16 << 32 << 2 << L{0x0000, 0x0001, 0xFFFF, 0xFFFF} << 2 << QByteArray("[65536,-1]");
    QTest::newRow("uint 16/32, low first") << QByteArray("uint") << 16 << 32 << 2 << L{0xFFFF, 0xFFFF} << 1 << QByteArray("[4294967295]");
    QTest::newRow("long 16/32, high first") << QByteArray("long") << 16 << 32 << 2 << L{0x0001, 0x0000, 0xFFFF, 0xFFFF} << 2 << QByteArray("[65536,4294967295]");
    QTest::newRow("long 16/16 still a pair") << QByteArray("long") << 16 << 16 << 2 << L{0x0001, 0x0002} << 1 << QByteArray("[65538]");
    QTest::newRow("int 32") << QByteArray("int") << 32 << 32 << 2 << L{0xFFFFFFFF, 0x80000000} << 2 << QByteArray("[-1,-2147483648]");
    QTest::newRow("uint 32") << QByteArray("uint") << 32 << 32 << 2 << L{0xFFFFFFFF} << 1 << QByteArray("[4294967295]");
    // The last row: word i of the buffer, low half of a 32-bit register first.
    QTest::newRow("long 32 falls to words") << QByteArray("long") << 32 << 32 << 2 << L{0x00010002, 0x00030004} << 2 << QByteArray("[2,1]");
    QTest::newRow("unknown type 16/32 reads words") << QByteArray("word") << 16 << 32 << 2 << L{1, 2, 3, 4} << 2 << QByteArray("[1,2]");
    QTest::newRow("type names are case-sensitive") << QByteArray("FLOAT4321") << 16 << 16 << 2 << L{0x4049} << 1 << QByteArray("[16457]");
}

void TestRegisterCodec::readFormat()
{
    QFETCH(QByteArray, type);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(int, floatPrec);
    QFETCH(QList<quint32>, registers);
    QFETCH(int, valuesCnt);
    QFETCH(QByteArray, expected);

    const Format f = makeFormat(type, regSize, valSize, floatPrec);
    // The buffer holds exactly what a read of this request fetches, so a
    // layout that reaches beyond it shows up under the sanitizers.
    QCOMPARE(registers.size(), valuesCnt * registercodec::readRegistersPerValue(f));
    const std::vector<std::uint32_t> buffer(registers.begin(), registers.end());
    QCOMPARE(registercodec::formatValues(f, buffer, valuesCnt), expected);
}

void TestRegisterCodec::numberTexts_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("precision");
    QTest::addColumn<QByteArray>("fixed");
    QTest::addColumn<QByteArray>("general");

    QTest::newRow("pi") << 3.14159274101257324219 << 2 << QByteArray("3.14") << QByteArray("3.14159");
    QTest::newRow("precision 0 has no point") << 2.5 << 0 << QByteArray("2") << QByteArray("2.5");
    QTest::newRow("precision 20") << 0.1 << 20 << QByteArray("0.10000000000000000555") << QByteArray("0.1");
    QTest::newRow("1e+06 switches to exponent") << 1e6 << 2 << QByteArray("1000000.00") << QByteArray("1e+06");
    QTest::newRow("999999 does not") << 999999.0 << 1 << QByteArray("999999.0") << QByteArray("999999");
    QTest::newRow("0.0001 stays decimal") << 0.0001 << 4 << QByteArray("0.0001") << QByteArray("0.0001");
    QTest::newRow("1e-05 is exponent") << 1e-5 << 2 << QByteArray("0.00") << QByteArray("1e-05");
    QTest::newRow("negative zero") << -0.0 << 2 << QByteArray("-0.00") << QByteArray("-0");
    QTest::newRow("negative") << -1234.5678 << 3 << QByteArray("-1234.568") << QByteArray("-1234.57");
    QTest::newRow("1e8 exactly is fixed in both") << 1e8 << 2 << QByteArray("100000000.00") << QByteArray("100000000.00");
    QTest::newRow("largest float, 20 decimals") << 3.4028234663852886e38 << 20
        << QByteArray("340282346638528859811704183484516925440.00000000000000000000") << QByteArray("3.40282e+38");
    QTest::newRow("NaN") << std::nan("") << 2 << QByteArray("null") << QByteArray("null");
    QTest::newRow("-Inf") << -HUGE_VAL << 2 << QByteArray("null") << QByteArray("null");
}

void TestRegisterCodec::numberTexts()
{
    QFETCH(double, value);
    QFETCH(int, precision);
    QFETCH(QByteArray, fixed);
    QFETCH(QByteArray, general);
    QCOMPARE(registercodec::formatFixed(value, precision), fixed);
    QCOMPARE(registercodec::formatGeneral(value, precision), general);
}

void TestRegisterCodec::writeEncoding_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<QByteArray>("values");
    QTest::addColumn<QList<quint32>>("expected"); // empty: refused

    using L = QList<quint32>;
    QTest::newRow("int 16: low 16 bits") << QByteArray("int") << 16 << 16 << QByteArray("[-1,70000]") << L{0xFFFF, 0x1170};
    QTest::newRow("uint 16: low 16 bits") << QByteArray("uint") << 16 << 16 << QByteArray("[65537]") << L{1};
    QTest::newRow("unknown type 16") << QByteArray("word") << 16 << 16 << QByteArray("[5]") << L{5};
    QTest::newRow("uint 16/32, low first") << QByteArray("uint") << 16 << 32 << QByteArray("[4294967295,65536]") << L{0xFFFF, 0xFFFF, 0x0000, 0x0001};
    QTest::newRow("int 16/32, low first") << QByteArray("int") << 16 << 32 << QByteArray("[-2]") << L{0xFFFE, 0xFFFF};
    QTest::newRow("long 16/32, high first") << QByteArray("long") << 16 << 32 << QByteArray("[65536]") << L{0x0001, 0x0000};
    QTest::newRow("long 16/16, one register") << QByteArray("long") << 16 << 16 << QByteArray("[70000]") << L{0x1170};
    QTest::newRow("float4321 16/32") << QByteArray("float4321") << 16 << 32 << QByteArray("[3.14159274]") << L{0x4049, 0x0FDB};
    QTest::newRow("float1234 16/32") << QByteArray("float1234") << 16 << 32 << QByteArray("[3.14159274]") << L{0x0FDB, 0x4049};
    QTest::newRow("float4321 16/16 still a pair") << QByteArray("float4321") << 16 << 16 << QByteArray("[1,-1.5]") << L{0x3F80, 0, 0xBFC0, 0};
    QTest::newRow("float1234 32, halves swapped") << QByteArray("float1234") << 32 << 32 << QByteArray("[3.14159274]") << L{0x0FDB4049};
    QTest::newRow("float4321 32, as is") << QByteArray("float4321") << 32 << 32 << QByteArray("[3.14159274]") << L{0x40490FDB};
    QTest::newRow("int 32") << QByteArray("int") << 32 << 32 << QByteArray("[-2]") << L{0xFFFFFFFE};
    QTest::newRow("uint 32") << QByteArray("uint") << 32 << 32 << QByteArray("[4294967297]") << L{1};
    QTest::newRow("long 32") << QByteArray("long") << 32 << 32 << QByteArray("[65536]") << L{0x00010000};
    // 32-bit values of a type that has only a 16-bit encoding would leave registers unfilled.
    QTest::newRow("unknown type 16/32 refused") << QByteArray("word") << 16 << 32 << QByteArray("[5]") << L{};
    QTest::newRow("unknown type 32 refused") << QByteArray("INT") << 32 << 32 << QByteArray("[5]") << L{};
}

void TestRegisterCodec::writeEncoding()
{
    QFETCH(QByteArray, type);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(QByteArray, values);
    QFETCH(QList<quint32>, expected);

    const Format f = makeFormat(type, regSize, valSize);
    const std::optional<int> perValue = registercodec::writeRegistersPerValue(f);
    if (expected.isEmpty()) {
        QVERIFY(!perValue);
        return;
    }
    QVERIFY(perValue);
    const QJsonArray array = QJsonDocument::fromJson(values).array();
    const std::vector<std::uint32_t> regs = registercodec::encodeValues(f, array);
    QCOMPARE(qsizetype(regs.size()), array.size() * *perValue);
    QCOMPARE(QList<quint32>(regs.begin(), regs.end()), expected);
}

void TestRegisterCodec::integerConversion_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<qint32>("expected");

    QTest::newRow("fraction truncates") << QByteArray("3.7") << 3;
    QTest::newRow("toward zero") << QByteArray("-3.7") << -3;
    QTest::newRow("2^31 wraps") << QByteArray("2147483648") << std::numeric_limits<qint32>::min();
    QTest::newRow("-2^31-1 wraps") << QByteArray("-2147483649") << 2147483647;
    QTest::newRow("2^32+1") << QByteArray("4294967297") << 1;
    QTest::newRow("1e20") << QByteArray("1e20") << 1661992960;
    QTest::newRow("-1e20") << QByteArray("-1e20") << -1661992960;
    QTest::newRow("1e300") << QByteArray("1e300") << 0;
    QTest::newRow("string with blanks") << QByteArray(R"("  12\t\n")") << 12;
    QTest::newRow("no-break spaces") << QByteArray(R"("\u00a012\ufeff")") << 12;
    QTest::newRow("hex") << QByteArray(R"("0x1F")") << 31;
    QTest::newRow("hex upper") << QByteArray(R"("0XfF")") << 255;
    QTest::newRow("hex beyond 32 bits") << QByteArray(R"("0x100000005")") << 5;
    QTest::newRow("binary and octal") << QByteArray(R"("0b101")") << 5;
    QTest::newRow("octal") << QByteArray(R"("0o17")") << 15;
    QTest::newRow("signed hex is NaN") << QByteArray(R"("-0x10")") << 0;
    QTest::newRow("empty") << QByteArray(R"("")") << 0;
    QTest::newRow("blank") << QByteArray(R"("   ")") << 0;
    QTest::newRow("exponent") << QByteArray(R"("1e3")") << 1000;
    QTest::newRow("leading point") << QByteArray(R"(".9")") << 0;
    QTest::newRow("trailing point") << QByteArray(R"("5.")") << 5;
    QTest::newRow("plus sign") << QByteArray(R"("+7")") << 7;
    QTest::newRow("negative string") << QByteArray(R"("-7.9")") << -7;
    QTest::newRow("Infinity") << QByteArray(R"("-Infinity")") << 0;
    QTest::newRow("word") << QByteArray(R"("abc")") << 0;
    QTest::newRow("trailing garbage") << QByteArray(R"("12abc")") << 0;
    QTest::newRow("bare exponent") << QByteArray(R"("1e")") << 0;
    QTest::newRow("inner blank") << QByteArray(R"("1 2")") << 0;
    QTest::newRow("decimal comma") << QByteArray(R"("1,5")") << 0;
    QTest::newRow("C's inf is not a number here") << QByteArray(R"("inf")") << 0;
    QTest::newRow("true") << QByteArray("true") << 1;
    QTest::newRow("false") << QByteArray("false") << 0;
    QTest::newRow("null") << QByteArray("null") << 0;
    QTest::newRow("empty array") << QByteArray("[]") << 0;
    QTest::newRow("one-element array") << QByteArray("[\"9\"]") << 9;
    QTest::newRow("array of true is NaN") << QByteArray("[true]") << 0;
    QTest::newRow("two-element array") << QByteArray("[1,2]") << 0;
    QTest::newRow("object") << QByteArray("{\"a\":1}") << 0;
}

void TestRegisterCodec::integerConversion()
{
    QFETCH(QByteArray, json);
    QFETCH(qint32, expected);
    QCOMPARE(static_cast<qint32>(registercodec::toUint32Bits(element(json))), expected);
}

void TestRegisterCodec::nonFiniteNumbersGiveZero()
{
    for (double d : {std::nan(""), HUGE_VAL, -HUGE_VAL})
        QCOMPARE(registercodec::toUint32Bits(QJsonValue(d)), 0u);
}

void TestRegisterCodec::floatConversion_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<quint32>("bits");

    QTest::newRow("number") << QByteArray("2.5") << 0x40200000u;
    QTest::newRow("numeric string") << QByteArray(R"("-1.5")") << 0xBFC00000u;
    QTest::newRow("string with blanks") << QByteArray(R"(" 2.5 ")") << 0x40200000u;
    QTest::newRow("decimal comma does not parse") << QByteArray(R"("2,5")") << 0u;
    QTest::newRow("word") << QByteArray(R"("word")") << 0u;
    QTest::newRow("true is not a decimal") << QByteArray("true") << 0u;
    QTest::newRow("null") << QByteArray("null") << 0u;
    QTest::newRow("one-element array") << QByteArray("[2.5]") << 0x40200000u;
    QTest::newRow("largest float") << QByteArray("3.4028235e38") << 0x7F7FFFFFu;
    QTest::newRow("above float range") << QByteArray("1e39") << 0x7F800000u;
    QTest::newRow("below float range") << QByteArray("-1e300") << 0xFF800000u;
}

void TestRegisterCodec::floatConversion()
{
    QFETCH(QByteArray, json);
    QFETCH(quint32, bits);
    QCOMPARE(std::bit_cast<quint32>(registercodec::toFloat(element(json))), bits);
}

QTEST_GUILESS_MAIN(TestRegisterCodec)
#include "tst_registercodec.moc"
