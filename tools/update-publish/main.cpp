// update-publish: adds one release to the update server's file tree.

#include "publisher.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

enum ExitCode { Published = 0, Refused = 1, UsageError = 2 };

const char* const details = R"(
Server tree below DIR, as the updater reads it:
  packages/update.json         {"updateList":[{"version":"a.b.c","updateType":0,
                                "updateTime":"yyyy-MM-dd hh:mm:ss","reason":"..."}]}
                               updateType 0 is optional, 1 enforced
  packages/version/a.b.c.json  {"value":["rel/path", ...],"version":"a.b.c",
                                "files":{"rel/path":{"sha256":"<hex>","size":N}, ...}},
                               the files a.b.c changed, with what every updater checks
  packages/bin/rel/path        the current content of every published file
With --sign-key, minisign's signature of the manifest goes to
packages/version/a.b.c.json.minisig.

Every file below RELEASE_FOLDER is taken, hidden ones too, links followed;
paths are relative with "/". Files that are new or differ byte for byte from
packages/bin are copied there and listed, sorted, with their SHA-256 and size, in
packages/version/VERSION.json;
then VERSION is appended to packages/update.json, keeping everything else in it.
All of it is first written to a staging folder inside packages/ and then moved
into place: files, then the manifest and its signature, then update.json, so a
client never sees a listed version whose files are missing. If a step fails,
the tree is put back.

Refused, before anything is written:
  - a VERSION that is not a.b.c: decimal numbers, no leading zeros, each at most
    2147483647
  - a VERSION already in update.json (compared as numbers) or whose manifest exists
  - a VERSION not newer than the newest in update.json: packages/bin holds one
    content per file, so releases must be published in order
  - a path the updater refuses: an empty, ".", ".." segment or one ending in "."
    or " ", a "\", ":", "*", "?", '"', "<", ">" or "|", a control character,
    a Windows device name such as CON or NUL
  - a missing or unreadable release folder or file, a broken link, a special
    file or a link loop in it, a release folder that overlaps DIR
  - two paths that are one on Windows, whose file names ignore letter case
    (each UTF-16 unit compared in its simple upper case, as NTFS does): two
    files, or a file and a folder
  - a file where packages/bin holds a folder, or the other way round
  - a missing DIR, or places below it that cannot be written
  - an update.json that is not a JSON object with an "updateList" array
  - a --sign-key FILE that cannot be read, or no minisign on the search path

Warned about, published anyway:
  - files the updater keeps for itself and skips, so they are neither copied
    nor listed: a path containing "update.exe" in any letter case (as on
    Windows), and "version", "updateLog.txt", "updateStaging" and
    "updateStaging.lock" at the top, also by Windows' short names such as
    UPDATE~1.TXT (an installation folder used as the release folder holds some)
  - files in packages/bin that the release no longer has: the updater never
    deletes files, installations keep them
  - a release in which nothing changed: its manifest lists no files

Exit codes:
  0  published
  1  refused or failed; unless the message says otherwise the tree is unchanged
  2  usage error
)";

void printLine(FILE* stream, const QString& text)
{
    std::fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), stream);
}

int usageError(const QString& message)
{
    printLine(stderr, QStringLiteral("update-publish: %1").arg(message));
    printLine(stderr, QStringLiteral("Try 'update-publish --help'."));
    return UsageError;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("update-publish"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Adds release VERSION, the files in RELEASE_FOLDER, to the update server "
                       "tree in DIR."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption root(QStringLiteral("root"),
        QStringLiteral("The folder the update server serves; it must "
                       "exist. packages/ below it is created if missing."),
        QStringLiteral("DIR"));
    const QCommandLineOption version(QStringLiteral("version"),
        QStringLiteral("The release's version, a.b.c."), QStringLiteral("a.b.c"));
    const QCommandLineOption enforce(QStringLiteral("enforce"),
        QStringLiteral("Make the update enforced (updateType 1) "
                       "instead of optional (0)."));
    const QCommandLineOption reason(QStringLiteral("reason"),
        QStringLiteral("The text shown as the update's reason; "
                       "empty if not given."),
        QStringLiteral("TEXT"));
    const QCommandLineOption signKey(QStringLiteral("sign-key"),
        QStringLiteral("Sign the manifest with this minisign secret "
                       "key (minisign asks for its password), for "
                       "updaters built with UPDATER_PUBLIC_KEY."),
        QStringLiteral("FILE"));
    parser.addOptions({root, version, enforce, reason, signKey});
    parser.addPositionalArgument(QStringLiteral("RELEASE_FOLDER"),
        QStringLiteral("The installation folder of the new release."));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        std::fputs(details, stdout);
        return Published;
    }
    for (const QCommandLineOption& required : {root, version}) {
        const QString name = QStringLiteral("--") + required.names().constFirst();
        if (!parser.isSet(required))
            return usageError(QStringLiteral("%1 is required.").arg(name));
    }
    for (const QCommandLineOption& single : {root, version, reason, signKey}) {
        if (parser.values(single).size() > 1) {
            return usageError(
                QStringLiteral("--%1 is given more than once.").arg(single.names().constFirst()));
        }
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return usageError(QStringLiteral("exactly one RELEASE_FOLDER is expected, %1 given.")
                              .arg(positional.size()));

    PublishRequest request;
    request.rootDir = parser.value(root);
    request.version = parser.value(version);
    request.enforce = parser.isSet(enforce);
    request.reason = parser.value(reason);
    request.releaseDir = positional.constFirst();
    request.signKey = parser.value(signKey);
    if (request.rootDir.isEmpty())
        return usageError(QStringLiteral("--root needs a folder."));

    Publisher publisher(request);
    if (!publisher.prepare()) {
        printLine(stderr, QStringLiteral("update-publish: refused: ") + publisher.errorString());
        return Refused;
    }
    for (const PublishWarning& warning : publisher.warnings()) {
        printLine(stderr, QStringLiteral("update-publish: warning: ") + warning.headline);
        for (const QString& path : warning.paths)
            printLine(stderr, QStringLiteral("  ") + path);
    }
    if (!publisher.publish()) {
        printLine(stderr, QStringLiteral("update-publish: failed: ") + publisher.errorString());
        return Refused;
    }

    const QStringList changed = publisher.changedPaths();
    const QString kind = request.enforce ? QStringLiteral("enforced") : QStringLiteral("optional");
    if (changed.isEmpty()) {
        printLine(stdout,
            QStringLiteral("Published %1 (%2 update): no files changed.")
                .arg(request.version, kind));
    } else {
        printLine(stdout,
            QStringLiteral("Published %1 (%2 update): %3 changed:")
                .arg(request.version, kind,
                    changed.size() == 1 ? QStringLiteral("1 file")
                                        : QStringLiteral("%1 files").arg(changed.size())));
        for (const QString& path : changed)
            printLine(stdout, QStringLiteral("  ") + path);
    }
    return Published;
}
