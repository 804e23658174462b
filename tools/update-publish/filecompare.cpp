#include "filecompare.h"

#include "fileops.h"
#include "quoting.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

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
        const QByteArray x = first.read(fileChunkSize);
        const QByteArray y = second.read(fileChunkSize);
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

} // namespace

BinComparison compareWithBin(const QList<PublishFile>& files, const QString& bin)
{
    BinComparison result;
    for (const PublishFile& file : files) {
        const QFileInfo target(bin + QLatin1Char('/') + file.path);
        if (target.isDir()) {
            result.conflicts << quoted(file.path)
                    + QStringLiteral(" (packages/bin holds a folder there)");
            continue;
        }
        if (target.isFile()) {
            QString reason;
            switch (compareFiles(file.source, target.filePath(), &reason)) {
            case Sameness::Same:
                break;
            case Sameness::Different:
                result.changed << file;
                break;
            case Sameness::Unreadable:
                result.unreadable << reason;
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
                const QFileInfo folder(bin + QLatin1Char('/') + prefix);
                if (pathExists(folder) && !folder.isDir()) {
                    result.conflicts << quoted(file.path)
                            + QStringLiteral(" (packages/bin/%1 is not a folder)").arg(prefix);
                    break;
                }
            }
        }
        QFile source(file.source);
        if (!source.open(QIODevice::ReadOnly)) {
            result.unreadable << quoted(file.source) + QStringLiteral(": ") + source.errorString();
            continue;
        }
        result.changed << file;
    }
    std::sort(result.changed.begin(), result.changed.end(),
        [](const PublishFile& a, const PublishFile& b) { return a.path < b.path; });
    return result;
}
