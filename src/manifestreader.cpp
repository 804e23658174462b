#include "manifestparser.h"

#include <cmath>

namespace {

// To its size: the text read is a buffer grown as it came.
QString copy(const QString& text)
{
    return QString(text.constData(), text.size());
}

} // namespace

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
ManifestReader::Parser::Role ManifestReader::Parser::assign(Field field, Kind kind)
{
    switch (field) {
    case Field::Values:
        entries.clear();
        return kind == Kind::Array ? Role::Values : Role::Ignored;
    case Field::Files:
        files.clear();
        return kind == Kind::Object ? Role::Files : Role::Ignored;
    case Field::Version:
        version = kind == Kind::String ? copy(text) : QString();
        break;
    case Field::Follows:
        followsKind = kind == Kind::String ? Follows::String
            : kind == Kind::Null           ? Follows::Null
                                           : Follows::Other;
        follows = kind == Kind::String ? copy(text) : QString();
        break;
    case Field::Item:
        if (kind != Kind::String) {
            entries << QString();
        } else {
            // update-publish writes "files" first: the entry shares the path's text.
            const auto listed = files.constFind(text);
            entries << (listed != files.cend() ? listed.key() : copy(text));
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
        entry.hashed = kind == Kind::String && !cut && text.size() == 64;
        for (const QChar c : qAsConst(text))
            entry.hashed = entry.hashed && c.unicode() < 0x80 && isxdigit(c.unicode());
        entry.sha256 = entry.hashed ? Sha256Digest::fromHex(text) : Sha256Digest();
        break;
    case Field::Size:
        entry.size = kind == Kind::Number ? number : -1;
        break;
    case Field::None:
        break;
    }
    return Role::Ignored;
}

// Which of the names that matter a key of a role's object is.
ManifestReader::Parser::Field ManifestReader::Parser::keyField(Role role) const
{
    if (cut)
        return Field::None;
    if (role == Role::Top) {
        if (text == QLatin1String("value"))
            return Field::Values;
        if (text == QLatin1String("files"))
            return Field::Files;
        if (text == QLatin1String("version"))
            return Field::Version;
        if (text == QLatin1String("follows"))
            return Field::Follows;
    } else if (role == Role::Entry) {
        if (text == QLatin1String("sha256"))
            return Field::Sha256;
        if (text == QLatin1String("size"))
            return Field::Size;
    }
    return Field::None;
}

void ManifestReader::Parser::scalar(Kind kind)
{
    assign(valueField(), kind);
    step = AfterValue;
}

ManifestReader::~ManifestReader() = default;

bool ManifestReader::feed(const char* data, size_t size)
{
    Parser& p = *parser;
    p.any = p.any || size > 0;
    for (size_t i = 0; i < size;) {
        // Most of a manifest is plain ASCII inside strings: taken a run at a time.
        size_t run = 0;
        while (p.step == Parser::InString && p.str == Parser::Str::Plain && i + run < size
            && uchar(data[i + run]) < 0x80 && data[i + run] != '"' && data[i + run] != '\\')
            ++run;
        if (run > 0) {
            p.plain(data + i, run);
            i += run;
        } else if (!p.take(uchar(data[i++]))) {
            break;
        }
    }
    return p.step != Parser::Failed;
}

bool ManifestReader::finish()
{
    Parser& p = *parser;
    p.finished = true;
    if (p.step != Parser::Done)
        p.step = Parser::Failed;
    return !p.any || p.step == Parser::Done;
}

QStringList ManifestReader::entries() const
{
    return parser->read() ? parser->entries : QStringList();
}

QMap<QString, SignedFile> ManifestReader::listedHashes(
    const QStringList& paths, QString* problem) const
{
    QMap<QString, SignedFile> files;
    if (!parser->read())
        return files;
    for (const QString& path : paths) {
        const auto listed = parser->files.constFind(path);
        if (listed != parser->files.cend() && listed->valid)
            files.insert(fileKey(path), SignedFile {listed->sha256, listed->size});
        else if (problem && listed != parser->files.cend() && problem->isEmpty())
            *problem = QStringLiteral("文件校验值格式错误:") + path;
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
