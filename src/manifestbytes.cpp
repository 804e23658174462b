#include "manifestbytes.h"

#include <QByteArray>

#include <climits>
#include <cstring>
#include <string>

namespace {

// Numbers up to this length are read by Qt's own conversions, as fromJson() reads them.
const size_t shortNumber = 64;
// More significant digits than double-conversion reads; the rest only counts as zero or not.
const size_t keptDigits = 800;

bool isSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Bytes of numbers and of true, false and null.
bool isBare(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c && strchr("+-.eEtrufalsn", c));
}

} // namespace

bool ManifestBytes::stringByte(unsigned char c)
{
    switch (state) {
    case State::String:
        if (needLow && c != '\\')
            return false;
        if (c == '"')
            state = State::Outside;
        else if (c == '\\')
            state = State::Escape;
        else if (c < 0x20)
            return false;
        else if (c >= 0xc2 && c <= 0xf4) {
            pending = c < 0xe0 ? 1 : c < 0xf0 ? 2 : 3;
            low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
            high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
            state = State::Utf8;
        } else if (c >= 0x80) {
            return false;
        }
        return true;
    case State::Utf8:
        if (c < low || c > high)
            return false;
        low = 0x80, high = 0xbf;
        if (--pending == 0)
            state = State::String;
        return true;
    case State::Escape:
        if (needLow && c != 'u')
            return false;
        if (c == 'u') {
            state = State::Hex, pending = 4, codePoint = 0;
            return true;
        }
        state = State::String;
        return c && strchr("\"\\/bfnrt", c);
    case State::Hex: {
        const int digit = c >= '0' && c <= '9' ? c - '0'
            : c >= 'a' && c <= 'f'             ? c - 'a' + 10
            : c >= 'A' && c <= 'F'             ? c - 'A' + 10
                                               : -1;
        if (digit < 0)
            return false;
        codePoint = codePoint << 4 | unsigned(digit);
        if (--pending > 0)
            return true;
        state = State::String;
        // yajl reads an unpaired surrogate otherwise than Qt, which keeps it as a code unit.
        const bool highHalf = codePoint >= 0xd800 && codePoint < 0xdc00;
        const bool lowHalf = codePoint >= 0xdc00 && codePoint < 0xe000;
        if (needLow != lowHalf)
            return false;
        needLow = highHalf;
        return true;
    }
    default:
        return false;
    }
}

bool ManifestBytes::take(const char* data, size_t size)
{
    start = before;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = bytes[i];
        if (state == State::Bare) {
            if (isBare(c))
                continue;
            state = State::Outside;
        }
        if (state == State::Outside) {
            if (c == '"' || isBare(c)) {
                state = c == '"' ? State::String : State::Bare;
                start = i;
            } else if (!isSpace(c) && !(c && strchr("{}[],:", c))) {
                return false;
            }
            continue;
        }
        // Most of a manifest is plain ASCII inside strings.
        if (state == State::String && !needLow) {
            while (i < size && bytes[i] >= 0x20 && bytes[i] < 0x80 && bytes[i] != '"'
                && bytes[i] != '\\')
                ++i;
            if (i == size)
                break;
        }
        if (!stringByte(bytes[i]))
            return false;
    }
    return true;
}

bool readJsonNumber(const char* text, size_t size, double* number)
{
    bool ok = false;
    if (size <= shortNumber) {
        const QByteArray shortText(text, int(size));
        const qlonglong n = shortText.toLongLong(&ok);
        *number = ok ? double(n) : shortText.toDouble(&ok);
        return ok;
    }
    // A long one: the same value in few characters, 0.digits times ten to the power that places
    // them, as double-conversion reads it.
    size_t i = 0;
    const bool negative = text[0] == '-';
    i += negative ? 1 : 0;
    std::string significant;
    bool sticky = false, significantInInteger = false, exponentNegative = false;
    qint64 integerDigits = 0, fractionZeros = 0;
    const auto mantissa = [&](char c, bool integer) {
        if (significant.empty() && c == '0') {
            fractionZeros += integer ? 0 : 1;
        } else if (significant.size() < keptDigits) {
            significantInInteger = significantInInteger || (significant.empty() && integer);
            significant += c;
        } else {
            sticky = sticky || c != '0';
        }
        integerDigits += integer && !significant.empty() ? 1 : 0;
    };
    for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i)
        mantissa(text[i], true);
    if (i < size && text[i] == '.') {
        for (++i; i < size && text[i] >= '0' && text[i] <= '9'; ++i)
            mantissa(text[i], false);
    }
    int exponent = 0;
    if (i < size && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        exponentNegative = i < size && text[i] == '-';
        i += i < size && (text[i] == '-' || text[i] == '+') ? 1 : 0;
        // double-conversion's saturation
        const int most = INT_MAX / 2;
        for (; i < size; ++i) {
            const int d = text[i] - '0';
            exponent = exponent >= most / 10 && !(exponent == most / 10 && d <= most % 10)
                ? most
                : exponent * 10 + d;
        }
    }
    if (significant.empty()) {
        *number = negative ? -0.0 : 0.0;
        return true;
    }
    const qint64 place = significantInInteger ? integerDigits : -fractionZeros;
    const qint64 power = place + (exponentNegative ? -qint64(exponent) : exponent);
    const QByteArray reduced = QByteArray(negative ? "-0." : "0.")
        + QByteArray::fromStdString(significant) + (sticky ? "1e" : "e")
        + QByteArray::number(qBound<qint64>(-100000, power, 100000));
    *number = reduced.toDouble(&ok);
    return ok;
}
