// The pure rules: update-list entries and versions, what an update list means
// for an installation (which also orders versions), the path rule, manifests
// and the addresses of their files.

#include "testsupport.h"
#include "zelkorversion.h"

// A record as "version", "!" when enforced, ":reason" when it has one.
static QString describe(const ZelkorVersionStru& v)
{
    return v.versionString() + (v.enforce ? "!" : "") + (v.reason.isEmpty() ? "" : ":" + v.reason);
}

struct Evaluation
{
    QByteArray installed; // null: no version file; "/": a folder in its place
    QByteArray list; // what the fetch tool prints
    QString reports; // the worker's signals
    QString pending; // the records, oldest first
    QString log; // a pattern of the whole log
    bool timedOutFirst = false;
    // Where the fetch tool is: beside the updater, on the search path, or nowhere.
    QString tool = "beside";
    bool gbk = false; // the list is in GBK, read as such only where that is the local code page
};
Q_DECLARE_METATYPE(Evaluation)

// A row per element of a table in tests/data/rules.json: its name, then its columns.
static void rows(const char* table)
{
    const QJsonObject tables = QJsonDocument::fromJson(TestSupport::fixture("rules.json")).object();
    QTest::addColumn<QJsonArray>("row");
    for (const QJsonValue& row : tables.value(table).toArray())
        QTest::newRow(qPrintable(row[0].toString())) << row.toArray();
    QVERIFY(!tables.value(table).toArray().isEmpty());
}

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    // Each entry is read over 9.9.9!:kept. Refused, the numbers up to the failing piece are read,
    // that one as 0; the rest is kept.
    void entry_data() { rows("entries"); }

    void entry()
    {
        QFETCH(QJsonArray, row);
        ZelkorVersionStru v;
        v.major = v.minor = v.patch = 9, v.enforce = true, v.reason = "kept";
        const bool taken = v.setVersion(row[1].toObject());
        QCOMPARE((taken ? "" : "refused ") + describe(v), row[2].toString());
    }

    // What an update list means for an installation: the newer versions, oldest first.
    void newer_data() { rows("newer"); }

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

    // The fetch tool prints the list and exits with 1, which does not count.
    void evaluation_data()
    {
        QTest::addColumn<Evaluation>("row");
        const auto row = [](const char* name, const Evaluation& e) { QTest::newRow(name) << e; };
        const auto list
            = [](const char* entries) { return "{\"updateList\":[" + QByteArray(entries) + "]}"; };
        const QByteArray two = list(R"({"version":"2.0.0"})");
        const QString optional = "发现新版本:不强制更新", upToDate = "无需更新：当前版本为最新";
        row("nothing_newer",
            {"1.2.3\r\n", list(R"({"version":"1.2.3"})"), "check 0", "", upToDate});
        row("list_not_json",
            {"1.0.0", "<html>oops</html>", "check 0", "", "无需更新：更新列表为空"});
        row("newer_sorted_enforced_by_any",
            {"1.9.9", list(R"({"version":"1.10.0"},{"version":"1.9.10","updateType":1})"),
                "check 2", "1.9.10! 1.10.0", "发现新版本:强制更新"});
        row("no_version_file", {{}, list(R"({"version":"0.0.1"})"), "check 1", "0.0.1", optional});
        row("version_file_unreadable",
            {"/", list(R"({"version":"0.0.1"})"), "check 1", "0.0.1",
                "本地版本信息文件打开失败:.*/version \\S.*\n" + optional});
        row("installed_ends_at_nul",
            {QByteArray("3.4.5\0junk", 10), list(R"({"version":"3.4.5"})"), "check 0", "",
                upToDate});
        row("installed_with_byte_order_mark",
            {"\xEF\xBB\xBF"
             "1.2.3",
                list(R"({"version":"1.2.3"})"), "check 0", "", upToDate});
        row("installed_partly_read",
            {"2.x.1", list(R"({"version":"2.0.0"},{"version":"2.0.1"})"), "check 1", "2.0.1",
                optional});
        // Notepad starts UTF-8 with a byte-order mark; a server may keep the list in the local
        // code page.
        row("list_with_byte_order_mark",
            {"1.0.0", "\xEF\xBB\xBF" + list(R"({"version":"2.0.0","reason":"修"})"), "check 1",
                "2.0.0:修", optional});
        row("list_in_gbk",
            {"1.0.0", list("{\"version\":\"2.0.0\",\"reason\":\"\xD0\xDE\xB8\xB4\"}"), "check 1",
                "2.0.0:修复", optional, false, "beside", true});
        row("list_of_3MiB",
            {"1.0.0", two + QByteArray(3 << 20, ' '), "check 1", "2.0.0", optional});
        const QString failed = "error 请求服务器超时： end 0";
        row("list_after_a_time_out",
            {"1.0.0", two, failed + ' ' + failed, "", "请求服务器超时：\n请求服务器超时：", true});
        row("tool_on_the_search_path", {"1.0.0", two, "check 1", "2.0.0", optional, false, "path"});
        // Reported at once, not after the 10 s bound.
        row("no_tool", {"1.0.0", "", failed, "", "请求服务器超时：", false, "none"});
    }

    void evaluation()
    {
        QFETCH(Evaluation, row);
        if (row.gbk && QString::fromLocal8Bit("\xD0\xDE\xB8\xB4") != "修复")
            QSKIP("the local 8-bit encoding is not GBK (under Wine tst_rules_gbk runs this row)");
        TestSupport::WorkDir dir;
        QVERIFY(row.installed == "/"
                ? QDir().mkpath("app/version")
                : row.installed.isNull() || TestSupport::writeFile("app/version", row.installed));
        QVERIFY(TestSupport::writeFile("list.json", row.list));
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        qputenv("PATH", QFile::encodeName(dir.filePath("path")));
        const QString toolDir = dir.filePath(row.tool == "path" ? "path" : "app");
        QVERIFY(row.tool == "none"
            || TestSupport::installFake(
                toolDir, "updateCurl.exe", {"print-file ../list.json", "exit 1"}));
        ZelkorVersion worker(nullptr, {"http://127.0.0.1:9", dir.filePath("app"), 0, {}});
        QStringList seen;
        connect(&worker, &ZelkorVersion::sigMsgInfoCheck, this,
            [&](int code) { seen << "check" << QString::number(code); });
        connect(&worker, &ZelkorVersion::sigMsgInfoError, this,
            [&](const QString& text) { seen << "error" << text; });
        connect(&worker, &ZelkorVersion::sigMsgUpdateEnd, this,
            [&](bool ok) { seen << "end" << QString::number(ok); });
        worker.init();
        QVERIFY(seen.isEmpty()); // never from inside init()
        if (row.timedOutFirst)
            worker.getEnd(false, QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(seen.join(' '), row.reports, (row.tool == "none" ? 9000 : 30000));
        QStringList pending;
        for (const ZelkorVersionStru& v : worker.pendingVersions())
            pending << describe(v);
        QCOMPARE(pending.join(' ') + " -> " + worker.targetVersion(),
            row.pending + " -> "
                + (pending.isEmpty() ? "" : worker.pendingVersions().last().versionString()));
        const QString log = TestSupport::logMessages(".").join('\n');
        QVERIFY2(
            QRegularExpression(QRegularExpression::anchoredPattern(row.log)).match(log).hasMatch(),
            qPrintable(log));
    }

    // Windows reads the superscripts one to three, not four, as digits of a device name.
    void safePath_data() { rows("paths"); }

    void safePath()
    {
        QFETCH(QJsonArray, row);
        QCOMPARE(isSafeRelativePath(row[1].toString()), row[2].toBool());
    }

    // The entries of a manifest, each as it goes into an address.
    void manifest_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("addresses");
        QTest::newRow("in_order_encoded")
            << QByteArray("{\"value\":[\"b.txt\",\"a#b%41.txt\",\"数据/x y.txt\",\"b.txt\"]}")
            << QStringList {"b.txt", "a%23b%2541.txt", "%E6%95%B0%E6%8D%AE/x%20y.txt", "b.txt"};
        QTest::newRow("entry_not_a_string")
            << QByteArray(R"({"value":[5,"a"]})") << QStringList {"", "a"};
        QTest::newRow("top_level_array") << QByteArray(R"(["a"])") << QStringList();
        QTest::newRow("value_not_an_array") << QByteArray(R"({"value":"a"})") << QStringList();
    }

    void manifest()
    {
        QFETCH(QByteArray, body);
        QFETCH(QStringList, addresses);
        QStringList encoded;
        for (const QString& entry : manifestEntries(body))
            encoded << urlPath(entry);
        QCOMPARE(encoded, addresses);
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
