// The rules: update-list entries and versions, what an update list means for an installation
// (which also orders versions), how the worker reports it, and the path rule.

#include "manifestreader.h"
#include "testsupport.h"
#include "zelkorversion.h"

// A record as "version", "!" when enforced, ":reason" when it has one.
static QString describe(const ZelkorVersionStru& v)
{
    return v.versionString() + (v.enforce ? "!" : "") + (v.reason.isEmpty() ? "" : ":" + v.reason);
}

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    // Each entry is read over 9.9.9!:kept. Refused, the numbers up to the failing piece are read,
    // that one as 0; the rest is kept.
    void entry_data() { TestSupport::jsonRows("rules.json", "entries"); }

    void entry()
    {
        QFETCH(QJsonArray, row);
        ZelkorVersionStru v;
        v.major = v.minor = v.patch = 9, v.enforce = true, v.reason = "kept";
        const bool taken = v.setVersion(row[1].toObject());
        QCOMPARE((taken ? "" : "refused ") + describe(v), row[2].toString());
    }

    // What an update list means for an installation: the newer versions, oldest first.
    void newer_data() { TestSupport::jsonRows("rules.json", "newer"); }

    void newer()
    {
        QFETCH(QJsonArray, row);
        ZelkorVersionStru installed;
        QVERIFY(installed.parseVersion(row[1].toString()));
        QStringList newer;
        for (const ZelkorVersionStru& v : newerVersions(row[2].toArray(), installed))
            newer << describe(v);
        QCOMPARE(newer.join(' '), row[3].toString());
    }

    // What the worker makes of the fetched update list (null: the fetch failed) for an
    // installation of 0.0.0: its signals and versions to install, then its log.
    void evaluation_data()
    {
        QTest::addColumn<QByteArrayList>("results");
        QTest::addColumn<QString>("reports");
        QTest::addColumn<QString>("log");
        const auto row
            = [](const char* name, const QByteArrayList& results, const QString& reports,
                  const QString& log) { QTest::newRow(name) << results << reports << log; };
        const QByteArray list = R"({"updateList":[{"version":"0.2.0"},{"version":"0.1.0"}]})";
        const QString failed = "error 请求服务器超时： end 0";
        row("not_json", {"<html>oops</html>"}, "check 0", "无需更新：更新列表为空");
        row("nothing_newer", {R"({"updateList":[{"version":"-1.0.0","updateType":1}]})"}, "check 0",
            "无需更新：当前版本为最新");
        row("optional", {list}, "check 1 -> 0.1.0 0.2.0", "发现新版本:不强制更新");
        row("enforced_by_any", {QByteArray(list).replace("0.1.0\"", "0.1.0\",\"updateType\":1")},
            "check 2 -> 0.1.0! 0.2.0", "发现新版本:强制更新");
        row("fetch_failed", {{}}, failed, "请求服务器超时：");
        row("empty_answer", {""}, failed, "请求服务器超时：");
        row("answer_after_a_time_out", {{}, list}, failed + ' ' + failed,
            "请求服务器超时：\n请求服务器超时：");
    }

    void evaluation()
    {
        QFETCH(QByteArrayList, results);
        QFETCH(QString, reports);
        QFETCH(QString, log);
        TestSupport::WorkDir dir;
        QStringList seen;
        {
            ZelkorVersion worker;
            connect(&worker, &ZelkorVersion::sigMsgInfoCheck, this,
                [&](int code) { seen << "check" << QString::number(code); });
            connect(&worker, &ZelkorVersion::sigMsgInfoError, this,
                [&](const QString& text) { seen << "error" << text; });
            connect(&worker, &ZelkorVersion::sigMsgUpdateEnd, this,
                [&](bool ok) { seen << "end" << QString::number(ok); });
            for (const QByteArray& result : results)
                worker.getEnd(!result.isNull(), result);
            QStringList pending;
            for (const ZelkorVersionStru& v : worker.pendingVersions())
                pending << describe(v);
            if (!pending.isEmpty())
                seen << "->" << pending;
            QCOMPARE(worker.targetVersion(),
                pending.isEmpty() ? QString() : worker.pendingVersions().last().versionString());
        }
        QCOMPARE(seen.join(' '), reports);
        QCOMPARE(TestSupport::logMessages(".").join('\n'), log);
    }

    // Whether a manifest continues the chain from the installed version through the newer ones.
    void chain_data() { TestSupport::jsonRows("rules.json", "chain"); }

    void chain()
    {
        QFETCH(QJsonArray, row);
        ZelkorVersionStru installed;
        QList<ZelkorVersionStru> newer;
        installed.parseVersion(row[1].toString());
        for (const QJsonValue& version : row[2].toArray())
            newer << ZelkorVersionStru(), newer.last().parseVersion(version.toString());
        const QByteArray body = QJsonDocument(row[4].toObject()).toJson();
        ManifestReader reader;
        QVERIFY(reader.feed(body.constData(), size_t(body.size())) && reader.finish());
        QCOMPARE(reader.chainProblem(newer, row[3].toInt(), installed, row[5].toBool()),
            row[6].toString());
    }

    // Windows reads the superscripts one to three, not four, as digits of a device name.
    void safePath_data() { TestSupport::jsonRows("rules.json", "paths"); }

    void safePath()
    {
        QFETCH(QJsonArray, row);
        QCOMPARE(isSafeRelativePath(row[1].toString()), row[2].toBool());
    }

    void oneFileOnWindows_data() { TestSupport::jsonRows("rules.json", "one file on Windows"); }

    void oneFileOnWindows()
    {
        QFETCH(QJsonArray, row);
        QCOMPARE(ntfsKey(row[1].toString()) == ntfsKey(row[2].toString()), row[3].toBool());
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
