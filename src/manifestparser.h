#ifndef MANIFESTPARSER_H
#define MANIFESTPARSER_H

// What ManifestReader keeps between pieces: where the grammar of Qt 5.15's JSON parser stands, and
// what the body has said so far.

#include "manifestreader.h"

#include <QHash>

#include <string>
#include <vector>

struct ManifestReader::Parser
{
    enum class Role : char { Ignored, Top, Values, Files, Entry };
    // What a value is read as, from the object or array holding it.
    enum class Field : char { None, Values, Files, Version, Follows, Item, Path, Sha256, Size };
    enum class Kind : char { String, Number, Null, Bool, Array, Object };
    enum class Follows : char { Undefined, Null, String, Other };

    struct Frame
    {
        Role role;
        bool object;
    };

    struct Listed
    {
        Sha256Digest sha256;
        qint64 size = -1;
        bool valid = false;
    };

    // A "files" entry being read: the last "sha256" and "size" count.
    struct Entry
    {
        Sha256Digest sha256;
        bool hashed = false;
        double size = -1;
    };

    enum Step {
        Bom,
        Root,
        ValueOrClose,
        Value,
        AfterValue,
        KeyOrClose,
        Key,
        Colon,
        InString,
        InNumber,
        InLiteral,
        Done,
        Failed
    };
    Step step = Bom;
    int bomSeen = 0;
    bool any = false, finished = false;
    std::vector<Frame> frames;

    // The string being read: escape or UTF-8 state, and the text when it is kept.
    enum class Str : char { Plain, Escape, Hex, Utf8 } str = Str::Plain;
    bool isKey = false;
    unsigned codePoint = 0, low = 0x80, high = 0xbf;
    int pending = 0;
    QString text;
    int keep = 0; // units of text kept; a longer string is marked cut
    bool cut = false;

    // The number being read, in Qt's grammar: sign, integer, fraction, exponent.
    enum class Num : char { Sign, Integer, Digits, Point, Fraction, Exponent, ExpSign, ExpDigits };
    Num num = Num::Sign;
    QByteArray numberText;
    int numberLength = 0, mantissaDigits = 0, exponentDigits = 0;
    bool negative = false, isInt = true, hasExponent = false, exponentNegative = false;
    bool sticky = false, significantInInteger = false;
    std::string significant;
    qint64 integerDigits = 0, fractionZeros = 0;
    int exponent = 0;
    double number = 0;

    const char* literal = nullptr;
    int literalPos = 0;

    // What the body says, of a top-level object only.
    QStringList entries;
    QHash<QString, Listed> files;
    QString version, follows;
    Follows followsKind = Follows::Undefined;
    Field topKey = Field::None, entryKey = Field::None;
    QString path;
    Entry entry;

    bool fail()
    {
        step = Failed;
        return false;
    }
    Role parentRole() const { return frames.empty() ? Role::Ignored : frames.back().role; }
    bool read() const { return finished && step == Done; }

    // The grammar, in manifestparser.cpp.
    bool take(unsigned char c);
    bool startValue(unsigned char c);
    bool open(bool object);
    bool close(unsigned char c);
    void startString(bool key);
    bool stringByte(unsigned char c);
    void unit(unsigned u);
    void plain(const char* data, size_t size);
    void codeUnits(unsigned c);
    bool endString();
    void startNumber();
    bool numberByte(unsigned char c);
    bool endNumber();

    // What the values mean, in manifestreader.cpp.
    Field valueField() const;
    Role assign(Field field, Kind kind);
    Field keyField(Role role) const;
    void scalar(Kind kind);
};

#endif // MANIFESTPARSER_H
