#include "zelkorversion.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include <thread>

namespace {

QStringList readLog(const QString &dir)
{
    QFile file(dir + QStringLiteral("/updateLog.txt"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {QStringLiteral("cannot open: ") + file.errorString()};
    QStringList lines;
    QTextStream stream(&file);
    while (!stream.atEnd())
        lines << stream.readLine();
    return lines;
}

const QRegularExpression linePattern(
    QStringLiteral("^(\\d\\d)\\.(\\d\\d)\\.(\\d{4}) (\\d\\d):(\\d\\d):(\\d\\d):  (.*)$"));

} // namespace

class TestUpdateLog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void lineFormat_data();
    void lineFormat();
    void eachLineIsOnDiskAtOnce();
    void truncatedAtEachStart();
    void twoThreadsNeverInterleave();

private:
    QTemporaryDir *dir = nullptr;
    QString previousDir;
};

void TestUpdateLog::init()
{
    dir = new QTemporaryDir;
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
}

void TestUpdateLog::cleanup()
{
    QDir::setCurrent(previousDir);
    delete dir;
    dir = nullptr;
}

void TestUpdateLog::lineFormat_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("chinese") << QStringLiteral("开始更新");
    QTest::newRow("empty") << QString();
    QTest::newRow("path_and_colons") << QStringLiteral("下载文件: 失败,错误码:203错误原因:a: b");
}

void TestUpdateLog::lineFormat()
{
    QFETCH(QString, message);
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    {
        ZelkorVersion worker;
        worker.writeLog(message);
    }
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    const QStringList lines = readLog(dir->path());
    QCOMPARE(lines.size(), 1);
    const QRegularExpressionMatch match = linePattern.match(lines.first());
    QVERIFY2(match.hasMatch(), qPrintable(lines.first()));
    QCOMPARE(match.captured(7), message);
    const QDateTime stamp = QDateTime::fromString(lines.first().left(19),
                                                  QStringLiteral("dd.MM.yyyy hh:mm:ss"));
    QVERIFY(stamp.isValid());
    QVERIFY2(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after,
             qPrintable(stamp.toString()));
}

void TestUpdateLog::eachLineIsOnDiskAtOnce()
{
    ZelkorVersion worker;
    worker.writeLog(QStringLiteral("one"));
    QCOMPARE(readLog(dir->path()).size(), 1);
    worker.writeLog(QStringLiteral("two"));
    const QStringList lines = readLog(dir->path());
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(1).endsWith(QStringLiteral(":  two")));
}

void TestUpdateLog::truncatedAtEachStart()
{
    {
        ZelkorVersion first;
        first.writeLog(QStringLiteral("first run"));
        first.writeLog(QStringLiteral("first run again"));
    }
    {
        ZelkorVersion second;
        second.writeLog(QStringLiteral("second run"));
    }
    const QStringList lines = readLog(dir->path());
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().endsWith(QStringLiteral(":  second run")));
}

void TestUpdateLog::twoThreadsNeverInterleave()
{
    const int perThread = 3000;
    {
        ZelkorVersion worker;
        const auto writer = [&worker](const QString &name) {
            for (int i = 0; i < perThread; ++i)
                worker.writeLog(name + QString::number(i) + QStringLiteral(" 文本"));
        };
        std::thread other(writer, QStringLiteral("worker-"));
        writer(QStringLiteral("main-"));
        other.join();
    }
    const QStringList lines = readLog(dir->path());
    QCOMPARE(lines.size(), 2 * perThread);
    const QRegularExpression message(QStringLiteral("^(main|worker)-(\\d+) 文本$"));
    int nextMain = 0;
    int nextWorker = 0;
    for (const QString &line : lines) {
        const QRegularExpressionMatch whole = linePattern.match(line);
        QVERIFY2(whole.hasMatch(), qPrintable(line));
        const QRegularExpressionMatch m = message.match(whole.captured(7));
        QVERIFY2(m.hasMatch(), qPrintable(line));
        int &next = m.captured(1) == QLatin1String("main") ? nextMain : nextWorker;
        QCOMPARE(m.captured(2).toInt(), next);
        ++next;
    }
}

QTEST_GUILESS_MAIN(TestUpdateLog)
#include "tst_updatelog.moc"
