#include "manifestparser.h"

#include <QByteArray>

#include <climits>
#include <cmath>
#include <cstring>

namespace {

// Qt's parser refuses deeper nesting.
const size_t nestingLimit = 1024;
// Numbers up to this length are read by Qt's own conversions, as fromJson() reads them.
const int shortNumber = 64;
// More significant digits than double-conversion reads; the rest only counts as zero or not.
const size_t keptDigits = 800;

bool isSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

bool ManifestReader::Parser::open(bool object)
{
    if (frames.size() >= nestingLimit)
        return fail();
    const Role role = frames.empty() && object
        ? Role::Top
        : assign(valueField(), object ? Kind::Object : Kind::Array);
    frames.push_back({role, object});
    if (role == Role::Top)
        topKey = Field::None;
    step = object ? KeyOrClose : ValueOrClose;
    return true;
}

bool ManifestReader::Parser::close(unsigned char c)
{
    if (c != (frames.back().object ? '}' : ']'))
        return fail();
    if (frames.back().role == Role::Entry) {
        const double size = entry.size;
        const bool valid = entry.hashed && size >= 0 && size <= 9e15 && size == std::floor(size);
        files.insert(path, valid ? Listed {entry.sha256, qint64(size), true} : Listed());
    }
    frames.pop_back();
    step = frames.empty() ? Done : AfterValue;
    return true;
}

void ManifestReader::Parser::startString(bool key)
{
    const Role role = parentRole();
    const Field field = key ? Field::None : valueField();
    isKey = key;
    str = Str::Plain;
    text.resize(0); // the buffer is kept for the next string; what is kept is copied to size
    cut = false;
    // Names and hashes are short; entries, paths and versions are kept whole.
    if (key)
        keep = role == Role::Files ? INT_MAX : role == Role::Top || role == Role::Entry ? 8 : 0;
    else
        keep = field == Field::Sha256                                                    ? 65
            : field == Field::Item || field == Field::Version || field == Field::Follows ? INT_MAX
                                                                                         : 0;
    step = InString;
}

void ManifestReader::Parser::unit(unsigned u)
{
    if (text.size() < keep)
        text.append(QChar(ushort(u)));
    else
        cut = true;
}

// ASCII, neither a quote nor a backslash.
void ManifestReader::Parser::plain(const char* data, size_t size)
{
    const int taken = int(qMin(size, size_t(keep - text.size())));
    text.append(QLatin1String(data, taken));
    cut = cut || size_t(taken) < size;
}

// As Qt stores a code point, out of range ones included.
void ManifestReader::Parser::codeUnits(unsigned c)
{
    if (c >= 0x10000) {
        unit((c >> 10) + 0xd7c0);
        unit(c % 0x400 + 0xdc00);
    } else {
        unit(c);
    }
}

bool ManifestReader::Parser::endString()
{
    if (!isKey) {
        scalar(Kind::String);
        return true;
    }
    const Role role = parentRole();
    if (role == Role::Files)
        path = QString(text.constData(), text.size());
    else if (role == Role::Top)
        topKey = keyField(role);
    else if (role == Role::Entry)
        entryKey = keyField(role);
    step = Colon;
    return true;
}

// Qt's parseString(): strict UTF-8, any escaped byte taken as it is.
bool ManifestReader::Parser::stringByte(unsigned char c)
{
    switch (str) {
    case Str::Plain:
        if (c == '"')
            return endString();
        if (c == '\\') {
            str = Str::Escape;
        } else if (c < 0x80) {
            unit(c);
        } else if (c >= 0xc2 && c <= 0xf4) {
            pending = c < 0xe0 ? 1 : c < 0xf0 ? 2 : 3;
            codePoint = c & (0x3f >> pending);
            low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
            high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
            str = Str::Utf8;
        } else {
            return fail();
        }
        return true;
    case Str::Utf8:
        if (c < low || c > high)
            return fail();
        low = 0x80, high = 0xbf;
        codePoint = codePoint << 6 | (c & 0x3f);
        if (--pending == 0) {
            codeUnits(codePoint);
            str = Str::Plain;
        }
        return true;
    case Str::Escape: {
        static const char from[] = "bfnrt", to[] = "\b\f\n\r\t";
        const char* known = c ? strchr(from, c) : nullptr;
        if (c == 'u') {
            str = Str::Hex, pending = 4, codePoint = 0;
            return true;
        }
        // Qt reads the escaped byte as a signed char.
        codeUnits(known ? unsigned(to[known - from]) : unsigned(int(static_cast<signed char>(c))));
        str = Str::Plain;
        return true;
    }
    case Str::Hex: {
        const int digit = c >= '0' && c <= '9' ? c - '0'
            : c >= 'a' && c <= 'f'             ? c - 'a' + 10
            : c >= 'A' && c <= 'F'             ? c - 'A' + 10
                                               : -1;
        if (digit < 0)
            return fail();
        codePoint = codePoint << 4 | unsigned(digit);
        if (--pending == 0) {
            unit(codePoint);
            str = Str::Plain;
        }
        return true;
    }
    }
    return true;
}

void ManifestReader::Parser::startNumber()
{
    num = Num::Sign;
    numberText.clear();
    numberLength = mantissaDigits = exponentDigits = exponent = 0;
    negative = hasExponent = exponentNegative = sticky = significantInInteger = false;
    isInt = true;
    significant.clear();
    integerDigits = fractionZeros = 0;
    step = InNumber;
}

// Qt's parseNumber(): whether c continues the number, which then ends before it.
bool ManifestReader::Parser::numberByte(unsigned char c)
{
    const bool digit = c >= '0' && c <= '9';
    const auto mantissa = [&](bool integer) {
        ++mantissaDigits;
        if (significant.empty() && c == '0') {
            fractionZeros += integer ? 0 : 1;
        } else if (significant.size() < keptDigits) {
            significantInInteger = significantInInteger || (significant.empty() && integer);
            significant += char(c);
        } else {
            sticky = sticky || c != '0';
        }
        integerDigits += integer && !significant.empty() ? 1 : 0;
    };
    for (bool taken = false; !taken;) {
        switch (num) {
        case Num::Sign:
            taken = negative = c == '-';
            num = Num::Integer;
            break;
        case Num::Integer:
            taken = c == '0';
            num = taken ? Num::Point : Num::Digits;
            if (taken)
                mantissa(true);
            break;
        case Num::Digits:
            taken = digit;
            if (taken)
                mantissa(true);
            else
                num = Num::Point;
            break;
        case Num::Point:
            taken = c == '.';
            num = taken ? Num::Fraction : Num::Exponent;
            break;
        case Num::Fraction:
            taken = digit;
            if (taken) {
                isInt = isInt && c == '0';
                mantissa(false);
            } else {
                num = Num::Exponent;
            }
            break;
        case Num::Exponent:
            if (c != 'e' && c != 'E')
                return false;
            isInt = false, hasExponent = true, num = Num::ExpSign;
            taken = true;
            break;
        case Num::ExpSign:
            taken = exponentNegative = c == '-';
            taken = taken || c == '+';
            num = Num::ExpDigits;
            break;
        case Num::ExpDigits: {
            if (!digit)
                return false;
            ++exponentDigits;
            // double-conversion's saturation
            const int most = INT_MAX / 2, d = c - '0';
            exponent = exponent >= most / 10 && !(exponent == most / 10 && d <= most % 10)
                ? most
                : exponent * 10 + d;
            taken = true;
            break;
        }
        }
    }
    if (++numberLength <= shortNumber)
        numberText += char(c);
    return true;
}

bool ManifestReader::Parser::endNumber()
{
    bool ok = false;
    if (numberLength <= shortNumber) {
        if (isInt) {
            const qlonglong n = numberText.toLongLong(&ok);
            number = double(n);
        }
        if (!ok)
            number = numberText.toDouble(&ok);
    } else if (mantissaDigits > 0 && (!hasExponent || exponentDigits > 0)) {
        // The same value in few characters: 0.digits, times ten to the power that places them.
        const qint64 place = significantInInteger ? integerDigits : -fractionZeros;
        const qint64 power = place + (exponentNegative ? -qint64(exponent) : exponent);
        const QByteArray text = QByteArray(negative ? "-0." : "0.")
            + QByteArray::fromStdString(significant) + (sticky ? "1e" : "e")
            + QByteArray::number(qBound<qint64>(-100000, power, 100000));
        number = significant.empty() ? (negative ? -0.0 : 0.0) : text.toDouble(&ok);
        ok = ok || significant.empty();
    }
    if (!ok)
        return fail();
    scalar(Kind::Number);
    return true;
}

// Qt's parseValue().
bool ManifestReader::Parser::startValue(unsigned char c)
{
    switch (c) {
    case '"':
        startString(false);
        return true;
    case '[':
        return open(false);
    case '{':
        return open(true);
    case 't':
        literal = "true";
        break;
    case 'f':
        literal = "false";
        break;
    case 'n':
        literal = "null";
        break;
    default:
        startNumber();
        return numberByte(c) || fail();
    }
    literalPos = 1;
    step = InLiteral;
    return true;
}

bool ManifestReader::Parser::take(unsigned char c)
{
    for (;;) {
        switch (step) {
        case Bom:
            if (bomSeen == 0 && c != 0xef) {
                step = Root;
                continue;
            }
            if (c != uchar("\xef\xbb\xbf"[bomSeen]))
                return fail();
            if (++bomSeen == 3)
                step = Root;
            return true;
        case Root:
            if (isSpace(c))
                return true;
            return c == '[' || c == '{' ? open(c == '{') : fail();
        case ValueOrClose:
        case Value:
            if (isSpace(c))
                return true;
            if (step == ValueOrClose && c == ']')
                return close(c);
            return c == ']' ? fail() : startValue(c);
        case AfterValue:
            if (isSpace(c))
                return true;
            if (c == ',') {
                step = frames.back().object ? Key : Value;
                return true;
            }
            return close(c);
        case KeyOrClose:
        case Key:
            if (isSpace(c))
                return true;
            if (c == '"') {
                startString(true);
                return true;
            }
            return step == KeyOrClose && c == '}' ? close(c) : fail();
        case Colon:
            if (isSpace(c))
                return true;
            step = Value;
            return c == ':' || fail();
        case InString:
            return stringByte(c);
        case InNumber:
            if (numberByte(c))
                return true;
            if (!endNumber())
                return false;
            continue;
        case InLiteral:
            if (c != uchar(literal[literalPos]))
                return fail();
            if (literal[++literalPos] == '\0')
                scalar(literal[0] == 'n' ? Kind::Null : Kind::Bool);
            return true;
        case Done:
            return isSpace(c) || fail();
        case Failed:
            return false;
        }
    }
}

ManifestReader::ManifestReader()
    : parser(new Parser)
{
}
