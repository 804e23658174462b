#ifndef TESTSUPPORT_TESTSUPPORT_H
#define TESTSUPPORT_TESTSUPPORT_H

#include "httpserver.h"

#include <QtTest>

namespace TestSupport {

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces path, creating the folders above it.
inline bool writeFile(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
        && file.write(data) == data.size() && file.commit();
}

// A file under tests/data.
inline QByteArray fixture(const QString& name)
{
    return readAll(UPDATER_SOURCE_DIR "/tests/data/" + name);
}

// A Qt Test row, named by its first element, per element of a table of a JSON fixture file: a
// column "row" holds the whole element.
inline void jsonRows(const QString& file, const char* table)
{
    const QJsonArray rows = QJsonDocument::fromJson(fixture(file)).object().value(table).toArray();
    QTest::addColumn<QJsonArray>("row");
    for (const QJsonValue& row : rows)
        QTest::newRow(qPrintable(row[0].toString())) << row.toArray();
    QVERIFY2(!rows.isEmpty(), table);
}

// The fake program as dir/name, run by the given script (see fakeprogram.cpp).
inline bool installFake(const QString& dir, const QString& name, const QStringList& script)
{
    QFile::remove(dir + '/' + name);
    return QDir().mkpath(dir) && QFile::copy(TESTSUPPORT_FAKEPROGRAM, dir + '/' + name)
        && writeFile(dir + '/' + name + ".fake", script.join('\n').toUtf8() + '\n');
}

// An installation of version in dir: update.exe from updaterDir, the fetch tool from toolDir, and
// the fake product running script.
inline bool install(const QString& dir, const QString& updaterDir, const QByteArray& version,
    const QStringList& script = {}, const QString& toolDir = UPDATER_TOOLS_BIN_DIR)
{
    return QDir().mkpath(dir) && QFile::copy(updaterDir + "/update.exe", dir + "/update.exe")
        && QFile::copy(toolDir + "/updateCurl.exe", dir + "/updateCurl.exe")
        && writeFile(dir + "/version", version) && installFake(dir, "Tavrix.exe", script);
}

// The lines of dir/updateLog.txt without their time stamps.
inline QStringList logMessages(const QString& dir)
{
    QStringList messages;
    QFile file(dir + "/updateLog.txt");
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
        for (QTextStream stream(&file); !stream.atEnd();)
            messages << stream.readLine().mid(22);
    return messages;
}

// Every entry below dir: a file's content, "folder", or where a link points.
inline QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> entries;
    for (QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
             QDirIterator::Subdirectories);
         it.hasNext();) {
        const QFileInfo info(it.next());
        // A shortcut is a file: its own bytes.
        entries[QDir(dir).relativeFilePath(it.filePath())] = info.isSymbolicLink()
            ? "link to " + QFile::encodeName(info.symLinkTarget())
            : info.isDir() ? "folder"
                           : readAll(it.filePath());
    }
    return entries;
}

// Sets ("+i") or clears ("-i") the immutable flag; false where that cannot be done.
inline bool chattr(const QString& flag, const QString& path)
{
    return QProcess::execute("chattr", {flag, path}) == 0;
}

// A temporary working folder, left again at the end.
struct WorkDir : QTemporaryDir
{
    const QString previous = QDir::currentPath();
    WorkDir() { QDir::setCurrent(path()); }
    ~WorkDir() { QDir::setCurrent(previous); }
};

} // namespace TestSupport

#endif // TESTSUPPORT_TESTSUPPORT_H
