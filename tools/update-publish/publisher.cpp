#include "publisher.h"

#include "filecompare.h"
#include "fileops.h"
#include "quoting.h"
#include "signing.h"
#include "staging.h"
#include "updaterules.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

namespace {

// Pairs of paths that are one on Windows: two files with one ntfsKey(), or a file and a folder.
QStringList clashesOnWindows(const QList<PublishFile>& files)
{
    QHash<QString, QString> fileByKey, folderByKey;
    QStringList pairs;
    const auto check
        = [&pairs](const QHash<QString, QString>& seen, const QString& key, const QString& path) {
              if (seen.contains(key))
                  pairs << quoted(seen.value(key)) + QStringLiteral(" and ") + quoted(path);
          };
    for (const PublishFile& file : files) {
        const QString key = ntfsKey(file.path);
        check(fileByKey, key, file.path);
        check(folderByKey, key, file.path);
        fileByKey.insert(key, file.path);
        for (int slash = file.path.indexOf(QLatin1Char('/')); slash > 0;
             slash = file.path.indexOf(QLatin1Char('/'), slash + 1)) {
            const QString folder = file.path.left(slash), folderKey = ntfsKey(folder);
            if (!folderByKey.contains(folderKey)) // once, not for each file in it
                check(fileByKey, folderKey, folder);
            folderByKey.insert(folderKey, folder);
        }
    }
    return pairs;
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
        || !scanRelease() || !checkWindowsNames() || !compareWithServer() || !checkWritable()
        || !checkSigning())
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
    if (haveNewest)
        follows = newest.versionString();
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

    const FolderScan scan = scanFolder(request.releaseDir);
    if (!scan.problems.isEmpty()) {
        return fail(QStringLiteral("release folder holds entries that cannot be published: %1")
                        .arg(scan.problems.join(QStringLiteral(", "))));
    }
    releaseFiles = scan.files;

    // As a Windows installation reads them, so that what is listed installs alike everywhere.
    QStringList unsafe;
    for (const PublishFile& file : releaseFiles) {
        if (isUpdaterOwnedPath(file.path, Qt::CaseInsensitive))
            skipped << file.path;
        else if (!isSafeRelativePath(file.path))
            unsafe << file.path;
        else
            listedFiles << file;
    }
    if (!unsafe.isEmpty()) {
        return fail(QStringLiteral("unsafe file paths, the updater would refuse the manifest: %1")
                        .arg(quotedList(unsafe)));
    }
    return true;
}

bool Publisher::checkWindowsNames()
{
    const QStringList clashes = clashesOnWindows(listedFiles);
    if (!clashes.isEmpty()) {
        return fail(QStringLiteral("paths that clash on Windows, whose file names ignore letter "
                                   "case: %1")
                        .arg(shortList(clashes)));
    }
    return true;
}

bool Publisher::compareWithServer()
{
    const BinComparison comparison = compareWithBin(listedFiles, binDir());
    if (!comparison.conflicts.isEmpty()) {
        return fail(QStringLiteral("files clash with packages/bin: %1")
                        .arg(comparison.conflicts.join(QStringLiteral(", "))));
    }
    if (!comparison.unreadable.isEmpty()) {
        return fail(
            QStringLiteral("cannot read %1").arg(comparison.unreadable.join(QStringLiteral(", "))));
    }
    changedFiles = comparison.changed;
    for (const PublishFile& file : qAsConst(changedFiles))
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
    QString reason;
    if (!findSigner(request.signKey, &minisign, &reason))
        return fail(reason);
    return true;
}

void Publisher::collectWarnings()
{
    if (!skipped.isEmpty()) {
        warningList.append(
            {QStringLiteral("the updater skips paths containing \"update.exe\" "
                            "in any letter case (as on Windows), and \"version\", "
                            "\"updateLog.txt\", \"updateStaging\" and \"updateStaging.lock\" "
                            "(or Windows' short names for them, UPDATE~1 and the like) at the "
                            "top; not published:"),
                skipped});
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
    Staging staging(packages);
    if (!staging.isValid()) {
        return fail(QStringLiteral("cannot create a staging folder in %1: %2")
                        .arg(quoted(packages), staging.errorString())
            + untouched);
    }

    // Files first, then the manifest, then update.json: a client never sees
    // a listed version whose files are missing.
    QString reason;
    QJsonObject fileEntries;
    for (int i = 0; i < changedFiles.size(); ++i) {
        const PublishFile& file = changedFiles.at(i);
        const QString staged = staging.filePath(QStringLiteral("file-%1").arg(i));
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!copyFile(file.source, staged, &reason, &hash)
            || !staging.add(staged, binDir() + QLatin1Char('/') + file.path, &reason))
            return fail(reason + untouched);
        fileEntries.insert(file.path,
            QJsonObject {{QStringLiteral("sha256"), QString::fromLatin1(hash.result().toHex())},
                {QStringLiteral("size"), QFileInfo(staged).size()}});
    }
    // Every client checks the hashes and sizes; one with a key also needs the version, and
    // "follows" lets it notice a release missing from update.json.
    const QJsonObject manifestObject {
        {QStringLiteral("value"), QJsonArray::fromStringList(changed)},
        {QStringLiteral("version"), request.version}, {QStringLiteral("follows"), follows},
        {QStringLiteral("files"), fileEntries}};
    const QString manifest = staging.filePath(QStringLiteral("manifest.json"));
    if (!writeBytes(
            manifest, QJsonDocument(manifestObject).toJson(QJsonDocument::Indented), &reason))
        return fail(reason + untouched);
    staging.addNew(manifest, manifestPath());
    if (!request.signKey.isEmpty()) {
        // In place before update.json lists the version, like the manifest.
        const QString signature = manifest + QStringLiteral(".minisig");
        if (!signManifest(minisign, request.signKey, request.version, manifest, signature, &reason)
            || !staging.add(signature, manifestPath() + QStringLiteral(".minisig"), &reason))
            return fail(reason + untouched);
    }
    const QString list = staging.filePath(QStringLiteral("update.json"));
    if (!writeBytes(list, updateListWithNewEntry(), &reason)
        || !staging.add(list, updateListPath(), &reason))
        return fail(reason + untouched);

    if (!staging.moveIntoPlace(&reason))
        return fail(reason);
    return true;
}
