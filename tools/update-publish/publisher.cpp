#include "publisher.h"

#include "updaterules.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

const qint64 chunkSize = 1024 * 1024;
const int pathsPerMessage = 10;
// The updater leaves alone every path that contains this.
const QLatin1String updaterName("update.exe");

// Paths end up in one-line messages, so control characters are spelled out.
QString quoted(const QString& text)
{
    QString out(QLatin1Char('"'));
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + QString(c);
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

QString quotedList(const QStringList& items)
{
    QStringList shown;
    for (int i = 0; i < items.size() && i < pathsPerMessage; ++i)
        shown << quoted(items.at(i));
    QString text = shown.join(QStringLiteral(", "));
    if (items.size() > pathsPerMessage)
        text += QStringLiteral(" and %1 more").arg(items.size() - pathsPerMessage);
    return text;
}

bool isInside(const QString& path, const QString& folder)
{
    if (path == folder)
        return true;
    return path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

std::filesystem::path nativePath(const QString& path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(QDir::toNativeSeparators(path).toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

// QFile::rename refuses to replace an existing file; this replaces it atomically.
bool replaceFile(const QString& from, const QString& to, QString* reason)
{
    std::error_code ec;
    std::filesystem::rename(nativePath(from), nativePath(to), ec);
    if (ec)
        *reason = QString::fromLocal8Bit(ec.message().c_str());
    return !ec;
}

bool copyFile(
    const QString& from, const QString& to, QString* reason, QCryptographicHash* hash = nullptr)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read %1: %2").arg(quoted(from), in.errorString());
        return false;
    }
    QSaveFile out(to);
    if (!out.open(QIODevice::WriteOnly)) {
        *reason = QStringLiteral("cannot write %1: %2").arg(quoted(to), out.errorString());
        return false;
    }
    for (;;) {
        const QByteArray chunk = in.read(chunkSize);
        if (in.error() != QFileDevice::NoError) {
            *reason = QStringLiteral("cannot read %1: %2").arg(quoted(from), in.errorString());
            return false;
        }
        if (chunk.isEmpty())
            break;
        if (hash)
            hash->addData(chunk);
        if (out.write(chunk) != chunk.size()) {
            *reason = QStringLiteral("cannot write %1: %2").arg(quoted(to), out.errorString());
            return false;
        }
    }
    if (!out.commit()) {
        *reason = QStringLiteral("cannot write %1: %2").arg(quoted(to), out.errorString());
        return false;
    }
    return true;
}

bool writeBytes(const QString& path, const QByteArray& bytes, QString* reason)
{
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        *reason = QStringLiteral("cannot write %1: %2").arg(quoted(path), out.errorString());
        return false;
    }
    return true;
}

enum class Sameness { Same, Different, Unreadable };

Sameness compareFiles(const QString& a, const QString& b, QString* reason)
{
    QFile first(a);
    QFile second(b);
    for (QFile* file : {&first, &second}) {
        if (!file->open(QIODevice::ReadOnly)) {
            *reason = quoted(file->fileName()) + QStringLiteral(": ") + file->errorString();
            return Sameness::Unreadable;
        }
    }
    if (first.size() != second.size())
        return Sameness::Different;
    for (;;) {
        const QByteArray x = first.read(chunkSize);
        const QByteArray y = second.read(chunkSize);
        for (QFile* file : {&first, &second}) {
            if (file->error() != QFileDevice::NoError) {
                *reason = quoted(file->fileName()) + QStringLiteral(": ") + file->errorString();
                return Sameness::Unreadable;
            }
        }
        if (x != y)
            return Sameness::Different;
        if (x.isEmpty())
            return Sameness::Same;
    }
}

struct Scan
{
    QList<PublishFile> files;
    QStringList problems;
};

// Files only, following links; anything else is a problem, never dropped quietly.
void walkFolder(const QString& folder, const QString& prefix, QStringList& chain, Scan& scan)
{
    const QString shown = prefix.isEmpty() ? QStringLiteral(".") : prefix;
    const QFileInfo info(folder);
#ifdef Q_OS_UNIX
    const bool listable = info.isReadable() && info.isExecutable();
#else
    const bool listable = info.isReadable();
#endif
    // QDir lists an unreadable folder as empty.
    if (!listable) {
        scan.problems << quoted(shown) + QStringLiteral(" (folder cannot be read)");
        return;
    }
    const QString canonical = info.canonicalFilePath();
    if (chain.contains(canonical)) {
        scan.problems << quoted(shown) + QStringLiteral(" (link loop)");
        return;
    }
    chain << canonical;
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString path
            = prefix.isEmpty() ? entry.fileName() : prefix + QLatin1Char('/') + entry.fileName();
        if (entry.isDir())
            walkFolder(entry.absoluteFilePath(), path, chain, scan);
        else if (entry.isFile())
            scan.files.append({path, entry.absoluteFilePath()});
        else
            scan.problems << quoted(path)
                    + QStringLiteral(
                        " (broken link, special file or name not in the local encoding)");
    }
    chain.removeLast();
}

Scan scanFolder(const QString& folder)
{
    Scan scan;
    QStringList chain;
    walkFolder(folder, QString(), chain, scan);
    return scan;
}

bool pathExists(const QFileInfo& info)
{
    return info.exists() || info.isSymLink();
}

} // namespace

Publisher::Publisher(const PublishRequest& request)
    : request(request)
{
    this->request.rootDir = QDir::cleanPath(QDir(request.rootDir).absolutePath());
}

QString Publisher::packagesDir() const
{
    return request.rootDir + QStringLiteral("/packages");
}

QString Publisher::binDir() const
{
    return packagesDir() + QStringLiteral("/bin");
}

QString Publisher::versionDir() const
{
    return packagesDir() + QStringLiteral("/version");
}

QString Publisher::updateListPath() const
{
    return packagesDir() + QStringLiteral("/update.json");
}

QString Publisher::manifestPath() const
{
    return versionDir() + QLatin1Char('/') + request.version + QStringLiteral(".json");
}

bool Publisher::fail(const QString& message)
{
    error = message;
    return false;
}

bool Publisher::prepare()
{
    if (!checkVersion() || !checkTreeLayout() || !readUpdateList() || !checkManifestAbsent()
        || !scanRelease() || !compareWithServer() || !checkWritable() || !checkSigning())
        return false;
    collectWarnings();
    return true;
}

bool Publisher::checkVersion()
{
    // parseVersion alone takes signs and leading zeros; the round trip keeps
    // the manifest name the one the updater asks for.
    static const QRegularExpression form(QStringLiteral("^[0-9]+\\.[0-9]+\\.[0-9]+$"));
    ZelkorVersionStru parsed;
    if (!form.match(request.version).hasMatch() || !parsed.parseVersion(request.version)
        || parsed.versionString() != request.version) {
        return fail(QStringLiteral("malformed version %1: expected a.b.c, three decimal numbers "
                                   "without leading zeros, each at most 2147483647")
                        .arg(quoted(request.version)));
    }
    return true;
}

bool Publisher::checkTreeLayout()
{
    const QFileInfo root(request.rootDir);
    if (!root.exists())
        return fail(
            QStringLiteral("server tree folder %1 does not exist").arg(quoted(request.rootDir)));
    if (!root.isDir())
        return fail(QStringLiteral("server tree %1 is not a folder").arg(quoted(request.rootDir)));
    for (const QString& folder : {packagesDir(), binDir(), versionDir()}) {
        const QFileInfo info(folder);
        if (pathExists(info) && !info.isDir())
            return fail(
                QStringLiteral("%1 is in the way: it should be a folder").arg(quoted(folder)));
    }
    return true;
}

bool Publisher::readUpdateList()
{
    const QFileInfo info(updateListPath());
    if (!pathExists(info))
        return true;
    QFile file(updateListPath());
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read packages/update.json: %1").arg(file.errorString()));
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(QStringLiteral("cannot read packages/update.json: %1").arg(file.errorString()));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return fail(QStringLiteral("packages/update.json is not valid JSON (%1 at byte %2)")
                        .arg(parseError.errorString())
                        .arg(parseError.offset));
    }
    if (!document.isObject())
        return fail(QStringLiteral("packages/update.json is not a JSON object"));
    updateList = document.object();
    if (!updateList.value(QStringLiteral("updateList")).isArray())
        return fail(QStringLiteral("packages/update.json has no \"updateList\" array"));
    updateListExists = true;

    ZelkorVersionStru target;
    target.parseVersion(request.version);
    bool haveNewest = false;
    ZelkorVersionStru newest;
    QString newestText;
    // Entries are read the way the updater reads them: by the parsed version.
    const QJsonArray entries = updateList.value(QStringLiteral("updateList")).toArray();
    for (const QJsonValue& entry : entries) {
        const QString text = entry.toObject().value(QStringLiteral("version")).toString();
        ZelkorVersionStru listed;
        if (!listed.parseVersion(text))
            continue;
        if (listed == target) {
            return fail(
                QStringLiteral("version %1 is already listed in packages/update.json (as %2)")
                    .arg(request.version, quoted(text)));
        }
        if (!haveNewest || listed > newest) {
            haveNewest = true;
            newest = listed;
            newestText = text;
        }
    }
    // packages/bin holds one content per path, so an older release published
    // later would hand its files to clients updating to the newest one.
    if (haveNewest && !(target > newest)) {
        return fail(QStringLiteral("version %1 is not newer than %2, the newest in "
                                   "packages/update.json; releases must be published in order")
                        .arg(request.version, quoted(newestText)));
    }
    return true;
}

bool Publisher::checkManifestAbsent()
{
    if (pathExists(QFileInfo(manifestPath()))) {
        return fail(QStringLiteral("packages/version/%1.json already exists although "
                                   "packages/update.json does not list %1; remove it if it is a "
                                   "leftover")
                        .arg(request.version));
    }
    return true;
}

bool Publisher::scanRelease()
{
    const QFileInfo info(request.releaseDir);
    if (!pathExists(info))
        return fail(
            QStringLiteral("release folder %1 does not exist").arg(quoted(request.releaseDir)));
    if (!info.isDir())
        return fail(
            QStringLiteral("release folder %1 is not a folder").arg(quoted(request.releaseDir)));
    const QString release = info.canonicalFilePath();
    const QString root = QFileInfo(request.rootDir).canonicalFilePath();
    if (isInside(release, root) || isInside(root, release)) {
        return fail(QStringLiteral("release folder %1 and server tree %2 overlap")
                        .arg(quoted(request.releaseDir), quoted(request.rootDir)));
    }

    const Scan scan = scanFolder(request.releaseDir);
    if (!scan.problems.isEmpty()) {
        return fail(QStringLiteral("release folder holds entries that cannot be published: %1")
                        .arg(scan.problems.join(QStringLiteral(", "))));
    }
    releaseFiles = scan.files;

    QStringList unsafe;
    QStringList selfNamed;
    for (const PublishFile& file : releaseFiles) {
        if (file.path.contains(updaterName)) {
            skipped << file.path;
            continue;
        }
        if (!isSafeRelativePath(file.path))
            unsafe << file.path;
        else if (file.path.compare(updaterName, Qt::CaseInsensitive) == 0)
            selfNamed << file.path;
        else
            listedFiles << file;
    }
    if (!unsafe.isEmpty()) {
        return fail(QStringLiteral("unsafe file paths, the updater would refuse the manifest: %1")
                        .arg(quotedList(unsafe)));
    }
    if (!selfNamed.isEmpty()) {
        return fail(QStringLiteral("%1 would overwrite the updater itself on Windows, yet the "
                                   "updater only skips paths containing \"update.exe\"")
                        .arg(quotedList(selfNamed)));
    }
    return true;
}

bool Publisher::compareWithServer()
{
    QStringList conflicts;
    QStringList unreadable;
    for (const PublishFile& file : listedFiles) {
        const QFileInfo target(binDir() + QLatin1Char('/') + file.path);
        if (target.isDir()) {
            conflicts << quoted(file.path) + QStringLiteral(" (packages/bin holds a folder there)");
            continue;
        }
        if (target.isFile()) {
            QString reason;
            switch (compareFiles(file.source, target.filePath(), &reason)) {
            case Sameness::Same:
                break;
            case Sameness::Different:
                changedFiles << file;
                break;
            case Sameness::Unreadable:
                unreadable << reason;
                break;
            }
            continue;
        }
        if (!pathExists(target)) {
            // A new file: nothing but folders may stand where its folders go.
            const QStringList segments = file.path.split(QLatin1Char('/'));
            QString prefix;
            for (int i = 0; i + 1 < segments.size(); ++i) {
                prefix += (i ? QStringLiteral("/") : QString()) + segments.at(i);
                const QFileInfo folder(binDir() + QLatin1Char('/') + prefix);
                if (pathExists(folder) && !folder.isDir()) {
                    conflicts << quoted(file.path)
                            + QStringLiteral(" (packages/bin/%1 is not a folder)").arg(prefix);
                    break;
                }
            }
        }
        QFile source(file.source);
        if (!source.open(QIODevice::ReadOnly)) {
            unreadable << quoted(file.source) + QStringLiteral(": ") + source.errorString();
            continue;
        }
        changedFiles << file;
    }
    if (!conflicts.isEmpty()) {
        return fail(QStringLiteral("files clash with packages/bin: %1")
                        .arg(conflicts.join(QStringLiteral(", "))));
    }
    if (!unreadable.isEmpty())
        return fail(QStringLiteral("cannot read %1").arg(unreadable.join(QStringLiteral(", "))));
    std::sort(changedFiles.begin(), changedFiles.end(),
        [](const PublishFile& a, const PublishFile& b) { return a.path < b.path; });
    for (const PublishFile& file : changedFiles)
        changed << file.path;
    return true;
}

bool Publisher::checkWritable()
{
    // The nearest existing folder above each place that gets written.
    QSet<QString> folders;
    const auto nearestExisting = [this](QString path) {
        while (!QFileInfo(path).isDir() && path.size() > request.rootDir.size())
            path = QFileInfo(path).path();
        return path;
    };
    folders << nearestExisting(packagesDir()) << nearestExisting(versionDir());
    for (const PublishFile& file : changedFiles)
        folders << nearestExisting(QFileInfo(binDir() + QLatin1Char('/') + file.path).path());
    QStringList refused;
    for (const QString& folder : folders) {
        if (!QFileInfo(folder).isWritable())
            refused << folder;
    }
    if (!refused.isEmpty()) {
        refused.sort();
        return fail(QStringLiteral("cannot write to %1").arg(quotedList(refused)));
    }
    return true;
}

bool Publisher::checkSigning()
{
    if (request.signKey.isEmpty())
        return true;
    QFile key(request.signKey);
    if (!key.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read the signing key %1: %2")
                        .arg(quoted(request.signKey), key.errorString()));
    minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign.isEmpty())
        return fail(QStringLiteral("--sign-key needs minisign on the search path"));
    return true;
}

// minisign asks for the key's password on our terminal.
bool Publisher::sign(const QString& manifest, const QString& signature)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    const QString comment = QStringLiteral("timestamp:%1\tfile:%2.json")
                                .arg(QDateTime::currentSecsSinceEpoch())
                                .arg(request.version);
    process.start(minisign,
        {QStringLiteral("-S"), QStringLiteral("-s"), request.signKey, QStringLiteral("-m"),
            manifest, QStringLiteral("-x"), signature, QStringLiteral("-t"), comment});
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0 || !QFileInfo(signature).isFile())
        return fail(QStringLiteral("minisign could not sign the manifest with %1")
                        .arg(quoted(request.signKey)));
    return true;
}

void Publisher::collectWarnings()
{
    if (!skipped.isEmpty()) {
        warningList.append({QStringLiteral("the updater skips paths containing \"update.exe\"; "
                                           "not published:"),
            skipped});
    }

    QHash<QString, QStringList> byFoldedCase;
    for (const PublishFile& file : listedFiles)
        byFoldedCase[file.path.toCaseFolded()] << file.path;
    QStringList sameOnWindows;
    for (const QStringList& paths : qAsConst(byFoldedCase)) {
        if (paths.size() > 1)
            sameOnWindows << paths;
    }
    if (!sameOnWindows.isEmpty()) {
        sameOnWindows.sort();
        warningList.append({QStringLiteral("paths that differ only in letter case are one file "
                                           "on Windows:"),
            sameOnWindows});
    }

    QSet<QString> inRelease;
    for (const PublishFile& file : releaseFiles)
        inRelease << file.path;
    QStringList removed;
    if (QFileInfo(binDir()).isDir()) {
        for (const PublishFile& file : scanFolder(binDir()).files) {
            if (!inRelease.contains(file.path))
                removed << file.path;
        }
    }
    if (!removed.isEmpty()) {
        removed.sort();
        warningList.append({QStringLiteral("removed in this release? the updater never deletes "
                                           "files: installations keep these from packages/bin:"),
            removed});
    }

    if (changed.isEmpty()) {
        warningList.append({QStringLiteral("nothing differs from packages/bin: the manifest of "
                                           "%1 lists no files")
                                .arg(request.version),
            {}});
    }
}

QByteArray Publisher::updateListWithNewEntry() const
{
    QJsonObject top = updateList;
    QJsonArray entries = top.value(QStringLiteral("updateList")).toArray();
    entries.append(QJsonObject {{QStringLiteral("version"), request.version},
        {QStringLiteral("updateType"), request.enforce ? 1 : 0},
        {QStringLiteral("updateTime"),
            QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))},
        {QStringLiteral("reason"), request.reason}});
    top.insert(QStringLiteral("updateList"), entries);
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

bool Publisher::publish()
{
    const QString packages = packagesDir();
    const bool createPackages = !QFileInfo(packages).isDir();
    if (createPackages && !QDir().mkdir(packages))
        return fail(QStringLiteral("cannot create %1").arg(quoted(packages)));
    const bool ok = stageAndMove(packages);
    if (!ok && createPackages)
        QDir().rmdir(packages);
    return ok;
}

bool Publisher::stageAndMove(const QString& packages)
{
    const QString untouched = QStringLiteral("; the server tree is unchanged");
    // Staged beside the targets so that moving into place is a rename on one
    // file system: it needs no space and cannot leave a half-written file.
    QTemporaryDir staging(packages + QStringLiteral("/.update-publish-XXXXXX"));
    if (!staging.isValid()) {
        return fail(QStringLiteral("cannot create a staging folder in %1: %2")
                        .arg(quoted(packages), staging.errorString())
            + untouched);
    }

    struct Move
    {
        QString staged;
        QString target;
        QString backup; // the replaced file, for putting it back
        bool replaces = false;
    };
    QList<Move> moves;
    QString reason;
    const auto stageBackup = [&](Move& move) {
        const QFileInfo target(move.target);
        if (!pathExists(target))
            return true;
        move.replaces = true;
        move.backup = move.staged + QStringLiteral(".old");
        std::error_code ec;
        std::filesystem::create_hard_link(nativePath(move.target), nativePath(move.backup), ec);
        // Not every file system links, and an immutable file refuses.
        if (ec && !copyFile(move.target, move.backup, &reason))
            return false;
        if (target.isFile())
            QFile::setPermissions(move.staged, target.permissions());
        return true;
    };

    QJsonObject signedFiles;
    for (int i = 0; i < changedFiles.size(); ++i) {
        Move move {staging.filePath(QStringLiteral("file-%1").arg(i)),
            binDir() + QLatin1Char('/') + changedFiles.at(i).path, QString(), false};
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!copyFile(changedFiles.at(i).source, move.staged, &reason, &hash) || !stageBackup(move))
            return fail(reason + untouched);
        signedFiles.insert(changedFiles.at(i).path,
            QJsonObject {{QStringLiteral("sha256"), QString::fromLatin1(hash.result().toHex())},
                {QStringLiteral("size"), QFileInfo(move.staged).size()}});
        moves << move;
    }
    QJsonObject manifestObject {{QStringLiteral("value"), QJsonArray::fromStringList(changed)}};
    if (!request.signKey.isEmpty()) {
        manifestObject.insert(QStringLiteral("version"), request.version);
        manifestObject.insert(QStringLiteral("files"), signedFiles);
    }
    Move manifestMove {
        staging.filePath(QStringLiteral("manifest.json")), manifestPath(), QString(), false};
    if (!writeBytes(manifestMove.staged,
            QJsonDocument(manifestObject).toJson(QJsonDocument::Indented), &reason))
        return fail(reason + untouched);
    moves << manifestMove;
    if (!request.signKey.isEmpty()) {
        // In place before update.json lists the version, like the manifest.
        Move signatureMove {manifestMove.staged + QStringLiteral(".minisig"),
            manifestPath() + QStringLiteral(".minisig"), QString(), false};
        if (!sign(manifestMove.staged, signatureMove.staged))
            return fail(error + untouched);
        if (!stageBackup(signatureMove))
            return fail(reason + untouched);
        moves << signatureMove;
    }
    Move listMove {
        staging.filePath(QStringLiteral("update.json")), updateListPath(), QString(), false};
    if (!writeBytes(listMove.staged, updateListWithNewEntry(), &reason) || !stageBackup(listMove))
        return fail(reason + untouched);
    moves << listMove;

    // Missing folders, parents first.
    QSet<QString> missing;
    for (const Move& move : qAsConst(moves)) {
        for (QString folder = QFileInfo(move.target).path(); !QFileInfo(folder).isDir();
             folder = QFileInfo(folder).path())
            missing << folder;
    }
    QStringList toCreate = missing.values();
    std::sort(toCreate.begin(), toCreate.end(),
        [](const QString& a, const QString& b) { return a.size() < b.size(); });
    QStringList created;

    QStringList notRestored;
    const auto rollBack = [&](int moved) {
        for (int i = moved - 1; i >= 0; --i) {
            const Move& move = moves.at(i);
            QString ignored;
            const bool restored = move.replaces ? replaceFile(move.backup, move.target, &ignored)
                                                : QFile::remove(move.target);
            if (!restored)
                notRestored << move.target;
        }
        for (int i = created.size() - 1; i >= 0; --i) {
            if (!QDir().rmdir(created.at(i)))
                notRestored << created.at(i);
        }
    };
    const auto rolledBack = [&] {
        return notRestored.isEmpty()
            ? QStringLiteral("; the server tree is as it was")
            : QStringLiteral("; could not put back %1").arg(quotedList(notRestored));
    };

    for (const QString& folder : qAsConst(toCreate)) {
        if (!QDir().mkdir(folder)) {
            rollBack(0);
            return fail(
                QStringLiteral("cannot create folder %1").arg(quoted(folder)) + rolledBack());
        }
        created << folder;
    }
    // Files first, then the manifest, then update.json: a client never sees
    // a listed version whose files are missing.
    for (int i = 0; i < moves.size(); ++i) {
        if (!replaceFile(moves.at(i).staged, moves.at(i).target, &reason)) {
            const QString message
                = QStringLiteral("cannot replace %1: %2").arg(quoted(moves.at(i).target), reason);
            rollBack(i);
            return fail(message + rolledBack());
        }
    }
    return true;
}
