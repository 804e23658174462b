#ifndef MANIFESTBYTES_H
#define MANIFESTBYTES_H

// What ManifestReader checks of the body beside yajl: what yajl lets through that Qt 5.15's
// fromJson() refuses or reads otherwise, and where a token left open by a piece began.

#include <QtGlobal>

#include <cstddef>

class ManifestBytes
{
public:
    static constexpr size_t before = size_t(-1);

    // The next piece (after any byte-order mark); false once the body holds a byte Qt refuses or
    // reads otherwise: UTF-8 that is overlong, a surrogate or past U+10FFFF, a \u surrogate not
    // in a pair, whitespace other than Qt's. Also refused where yajl would refuse: control
    // characters and unknown escapes in strings, bytes outside strings no JSON token holds.
    bool take(const char* data, size_t size);
    // Whether the last piece ended inside a string, number or literal, and where in that piece
    // it began (before: in an earlier one).
    bool inToken() const { return state != State::Outside; }
    size_t tokenStart() const { return start; }

private:
    enum class State : char { Outside, Bare, String, Escape, Hex, Utf8 };
    State state = State::Outside;
    size_t start = before;
    int pending = 0;
    unsigned codePoint = 0, low = 0x80, high = 0xbf;
    bool needLow = false; // a \u high surrogate was read: the next must be \u low

    bool stringByte(unsigned char c);
};

// A number's text as Qt 5.15 reads it: false where fromJson() refuses it (out of a double's range).
bool readJsonNumber(const char* text, size_t size, double* number);

#endif // MANIFESTBYTES_H
