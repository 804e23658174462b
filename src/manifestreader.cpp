#include "manifestreader.h"

#include "manifestbytes.h"

#include <QHash>

#include <yajl/yajl_parse.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

// yajl reads the grammar; this keeps what the body says, of a top-level object only.
struct ManifestReader::Parser
{
    enum class Role : char { Ignored, Top, Values, Files, Entry };
    // What a value is read as, from the object or array holding it.
    enum class Field : char { None, Values, Files, Version, Follows, Item, Path, Sha256, Size };
    enum class Kind : char { String, Number, Null, Bool, Array, Object };
    enum class Follows : char { Undefined, Null, String, Other };

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

    yajl_handle handle = nullptr;
    ManifestBytes bytes;
    std::string held; // a token the last piece left open
    int bom = 0;
    bool any = false, failed = false, finished = false;
    std::vector<Role> frames;

    QStringList entries;
    QHash<QString, Listed> files;
    QString version, follows;
    Follows followsKind = Follows::Undefined;
    Field topKey = Field::None, entryKey = Field::None;
    QString path;
    Entry entry;

    Parser();
    ~Parser() { yajl_free(handle); }

    bool fail()
    {
        failed = true;
        return false;
    }
    bool parse(const char* data, size_t size);
    bool read() const { return finished && any && !failed; }
    Role parentRole() const { return frames.empty() ? Role::Ignored : frames.back(); }
    Field valueField() const;
    Role assign(Field field, Kind kind, const char* text = nullptr, size_t size = 0);
    bool scalar(Kind kind, const char* text = nullptr, size_t size = 0);
    bool open(bool object);
    bool close();
    void key(const char* text, size_t size);

    double number = 0;

    static const yajl_callbacks callbacks;
    static Parser& of(void* context) { return *static_cast<Parser*>(context); }
};

namespace {

bool same(const char* text, size_t size, const char* name)
{
    return size == strlen(name) && memcmp(text, name, size) == 0;
}

QString utf8(const char* text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

// Qt's parser refuses deeper nesting.
const size_t nestingLimit = 1024;

} // namespace

const yajl_callbacks ManifestReader::Parser::callbacks = {
    [](void* c) { return int(of(c).scalar(Parser::Kind::Null)); },
    [](void* c, int) { return int(of(c).scalar(Parser::Kind::Bool)); },
    nullptr,
    nullptr,
    [](void* c, const char* text, size_t size) {
        Parser& p = of(c);
        return int(readJsonNumber(text, size, &p.number) && p.scalar(Parser::Kind::Number));
    },
    [](void* c, const unsigned char* text, size_t size) {
        return int(of(c).scalar(Parser::Kind::String, reinterpret_cast<const char*>(text), size));
    },
    [](void* c) { return int(of(c).open(true)); },
    [](void* c, const unsigned char* text, size_t size) {
        of(c).key(reinterpret_cast<const char*>(text), size);
        return 1;
    },
    [](void* c) { return int(of(c).close()); },
    [](void* c) { return int(of(c).open(false)); },
    [](void* c) { return int(of(c).close()); },
};

ManifestReader::Parser::Parser()
    : handle(yajl_alloc(&callbacks, nullptr, this))
{
}

bool ManifestReader::Parser::parse(const char* data, size_t size)
{
    if (yajl_parse(handle, reinterpret_cast<const unsigned char*>(data), size) != yajl_status_ok)
        return fail();
    return true;
}

ManifestReader::Parser::Field ManifestReader::Parser::valueField() const
{
    switch (parentRole()) {
    case Role::Top:
        return topKey;
    case Role::Values:
        return Field::Item;
    case Role::Files:
        return Field::Path;
    case Role::Entry:
        return entryKey;
    default:
        return Field::None;
    }
}

// A value of kind for field: a scalar once read, a container as it opens. Gives the role of
// the container. The last of duplicate keys wins, as in QJsonObject.
ManifestReader::Parser::Role ManifestReader::Parser::assign(
    Field field, Kind kind, const char* text, size_t size)
{
    switch (field) {
    case Field::Values:
        entries.clear();
        return kind == Kind::Array ? Role::Values : Role::Ignored;
    case Field::Files:
        files.clear();
        return kind == Kind::Object ? Role::Files : Role::Ignored;
    case Field::Version:
        version = kind == Kind::String ? utf8(text, size) : QString();
        break;
    case Field::Follows:
        followsKind = kind == Kind::String ? Follows::String
            : kind == Kind::Null           ? Follows::Null
                                           : Follows::Other;
        follows = kind == Kind::String ? utf8(text, size) : QString();
        break;
    case Field::Item:
        if (kind != Kind::String) {
            entries << QString();
        } else {
            // update-publish writes "files" first: the entry shares the path's text.
            const QString item = utf8(text, size);
            const auto listed = files.constFind(item);
            entries << (listed != files.cend() ? listed.key() : item);
        }
        break;
    case Field::Path:
        if (kind == Kind::Object) {
            entry = Entry();
            return Role::Entry;
        }
        files.insert(path, Listed());
        break;
    case Field::Sha256:
        // Only A-F lower-case to a-f, so QString::toLower() leaves nothing else hex.
        entry.hashed = kind == Kind::String && size == 64;
        for (size_t i = 0; entry.hashed && i < size; ++i)
            entry.hashed = isxdigit(uchar(text[i]));
        entry.sha256
            = entry.hashed ? Sha256Digest::fromHex(QString::fromLatin1(text, 64)) : Sha256Digest();
        break;
    case Field::Size:
        entry.size = kind == Kind::Number ? number : -1;
        break;
    case Field::None:
        break;
    }
    return Role::Ignored;
}

bool ManifestReader::Parser::scalar(Kind kind, const char* text, size_t size)
{
    if (frames.empty())
        return false; // fromJson() takes only an object or an array
    assign(valueField(), kind, text, size);
    return true;
}

bool ManifestReader::Parser::open(bool object)
{
    if (frames.size() >= nestingLimit)
        return false;
    const Role role = frames.empty() && object
        ? Role::Top
        : assign(valueField(), object ? Kind::Object : Kind::Array);
    frames.push_back(role);
    if (role == Role::Top)
        topKey = Field::None;
    return true;
}

bool ManifestReader::Parser::close()
{
    if (frames.back() == Role::Entry) {
        const double size = entry.size;
        const bool valid = entry.hashed && size >= 0 && size <= 9e15 && size == std::floor(size);
        files.insert(path, valid ? Listed {entry.sha256, qint64(size), true} : Listed());
    }
    frames.pop_back();
    return true;
}

// Which of the names that matter a key of an object is.
void ManifestReader::Parser::key(const char* text, size_t size)
{
    switch (parentRole()) {
    case Role::Files:
        path = utf8(text, size);
        break;
    case Role::Top:
        topKey = same(text, size, "value") ? Field::Values
            : same(text, size, "files")    ? Field::Files
            : same(text, size, "version")  ? Field::Version
            : same(text, size, "follows")  ? Field::Follows
                                           : Field::None;
        break;
    case Role::Entry:
        entryKey = same(text, size, "sha256") ? Field::Sha256
            : same(text, size, "size")        ? Field::Size
                                              : Field::None;
        break;
    default:
        break;
    }
}

ManifestReader::ManifestReader()
    : parser(new Parser)
{
}

ManifestReader::~ManifestReader() = default;

bool ManifestReader::feed(const char* data, size_t size)
{
    Parser& p = *parser;
    if (p.failed)
        return false;
    p.any = p.any || size > 0;
    if (p.bom == 0 && size > 0 && uchar(data[0]) != 0xef)
        p.bom = 3;
    for (; p.bom < 3 && size > 0; ++p.bom, ++data, --size) {
        if (uchar(*data) != uchar("\xef\xbb\xbf"[p.bom]))
            return p.fail();
    }
    if (!p.bytes.take(data, size))
        return p.fail();
    // yajl reads a token cut between pieces again from its start with each piece: one is given
    // to it whole, once it has ended.
    const size_t start = p.bytes.inToken() ? p.bytes.tokenStart() : size;
    if (!p.held.empty()) {
        if (start == ManifestBytes::before) {
            p.held.append(data, size);
            return true;
        }
        if (!p.parse(p.held.data(), p.held.size()))
            return false;
        p.held.clear();
    }
    if (start == ManifestBytes::before) // not reached: a token left open is held
        return p.parse(data, size);
    if (!p.parse(data, start))
        return false;
    p.held.assign(data + start, size - start);
    return true;
}

bool ManifestReader::finish()
{
    Parser& p = *parser;
    p.finished = true;
    if (!p.failed && !p.held.empty() && p.parse(p.held.data(), p.held.size()))
        p.held.clear();
    // yajl takes a token cut short after the top-level value for the end of the body.
    if (!p.failed && p.any
        && (p.bytes.inToken() || yajl_complete_parse(p.handle) != yajl_status_ok))
        p.fail();
    return !p.any || !p.failed;
}
QStringList ManifestReader::entries() const
{
    return parser->read() ? parser->entries : QStringList();
}

QMap<QString, SignedFile> ManifestReader::takeListedHashes(
    const QStringList& paths, QString* problem)
{
    QMap<QString, SignedFile> files;
    if (!parser->read())
        return files;
    for (const QString& path : paths) {
        const auto listed = parser->files.find(path);
        if (listed == parser->files.end())
            continue; // none given, or taken for the same path listed before
        if (listed->valid)
            files.insert(fileKey(path), SignedFile {listed->sha256, listed->size});
        else if (problem && problem->isEmpty())
            *problem = QStringLiteral("文件校验值格式错误:") + path;
        parser->files.erase(listed);
    }
    return files;
}

QString ManifestReader::chainProblem(const QList<ZelkorVersionStru>& newer, int index,
    const ZelkorVersionStru& installed, bool recordRequired) const
{
    const bool read = parser->read();
    const Parser::Follows kind = read ? parser->followsKind : Parser::Follows::Undefined;
    const QString follows = read ? parser->follows : QString();
    ZelkorVersionStru named;
    const bool parsed = kind == Parser::Follows::String && named.parseVersion(follows);
    const bool unbroken = index > 0
        ? parsed && named == newer.at(index - 1)
        : kind == Parser::Follows::Null || (parsed && !(named > installed));
    if (kind == Parser::Follows::Undefined ? !recordRequired : unbroken)
        return QString();
    const ZelkorVersionStru& before = index > 0 ? newer.at(index - 1) : installed;
    return QStringLiteral("版本链断开:") + newer.at(index).versionString() + QStringLiteral(" 接续")
        + (kind == Parser::Follows::String ? follows : QStringLiteral("?"))
        + (index > 0 ? QStringLiteral(",应为") : QStringLiteral(",已安装"))
        + before.versionString();
}

QString ManifestReader::signedManifestProblem(
    const QString& version, const QStringList& paths, const QMap<QString, SignedFile>& files) const
{
    const QString named = parser->read() ? parser->version : QString();
    if (named != version)
        return QStringLiteral("版本不符:") + named;
    for (const QString& path : paths) {
        if (!files.contains(fileKey(path)))
            return QStringLiteral("缺少文件校验值:") + path;
    }
    return QString();
}
