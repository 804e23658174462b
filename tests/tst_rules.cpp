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
    QString tool
        = "beside"; // where the fetch tool is: beside the updater, on the search path, or nowhere
    bool gbk = false; // the list is in GBK, read as such only where that is the local code page
};
Q_DECLARE_METATYPE(Evaluation)

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    void entry_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("record"); // read over 9.9.9!:kept
        const auto row = [](const char* name, const QByteArray& json, const char* record) {
            QTest::newRow(name) << json << QString(record);
        };
        const auto typed = [&](const char* name, const char* type, const char* record) {
            row(name, R"({"version":"1.2.3","updateType":)" + QByteArray(type) + '}', record);
        };
        row("plain", R"({"version":"1.2.3","updateType":0,"reason":"r"})", "1.2.3:r");
        row("crlf_at_end", R"({"version":"1.2.3\r\n"})", "1.2.3"),
            row("minus_sign", R"({"version":"-1.0.0"})", "-1.0.0");
        row("blanks_around_numbers", R"({"version":" 1 . 2 .\t3 "})", "1.2.3");
        row("leading_zeros_and_plus", R"({"version":"+01.002.03"})", "1.2.3");
        row("largest_int", R"({"version":"2147483647.0.0"})", "2147483647.0.0");
        // Refused: the numbers up to the failing piece are read, that one as 0; the rest is kept.
        row("two_pieces", R"({"version":"1.2","updateType":0,"reason":"new"})",
            "refused 9.9.9!:kept");
        row("four_pieces", R"({"version":"1.2.3.4"})", "refused 9.9.9!:kept"),
            row("version_missing", "{}", "refused 9.9.9!:kept");
        row("empty_middle_piece", R"({"version":"1..3"})", "refused 1.0.9!:kept");
        row("letter_in_middle", R"({"version":"7.x.1","updateType":0,"reason":"new"})",
            "refused 7.0.9!:kept");
        row("overflow_last", R"({"version":"1.2.99999999999"})", "refused 1.2.0!:kept");
        row("hex_not_read", R"({"version":"0x1.2.3"})", "refused 0.9.9!:kept");
        row("version_a_number", R"({"version":1.2,"updateType":1})", "refused 9.9.9!:kept");
        // Any updateType that reads as a non-zero integer enforces.
        typed("type_1", "1", "1.2.3!"), typed("type_2", "2", "1.2.3!"),
            typed("type_negative", "-1", "1.2.3!");
        typed("type_integral_double", "1.0", "1.2.3!"), typed("type_fraction", "0.5", "1.2.3"),
            typed("type_string", "\"1\"", "1.2.3");
        typed("type_bool", "true", "1.2.3"), typed("type_null", "null", "1.2.3");
        row("reason_not_a_string", R"({"version":"1.2.3","reason":5})", "1.2.3");
    }

    void entry()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, record);
        ZelkorVersionStru v;
        v.major = v.minor = v.patch = 9, v.enforce = true, v.reason = "kept";
        const bool taken = v.setVersion(QJsonDocument::fromJson(json).object());
        QCOMPARE((taken ? "" : "refused ") + describe(v), record);
    }

    // The fetch tool prints the list and exits with 1, which does not count.
    void evaluation_data()
    {
        QTest::addColumn<Evaluation>("row");
        const auto list
            = [](const char* entries) { return "{\"updateList\":[" + QByteArray(entries) + "]}"; };
        const QString optional = "发现新版本:不强制更新", upToDate = "无需更新：当前版本为最新";
        QTest::newRow("nothing_newer") << Evaluation {"1.2.3\r\n",
            list(R"({"version":"1.2.3","updateType":1},{"version":"1.0.0"})"), "check 0", "",
            upToDate};
        QTest::newRow("list_not_json")
            << Evaluation {"1.0.0", "<html>oops</html>", "check 0", "", "无需更新：更新列表为空"};
        QTest::newRow("newer_sorted_enforced_by_any") << Evaluation {"1.9.9",
            list(
                R"({"version":"1.10.0","reason":"修复 ü"},{"version":"2.0.0"},{"version":"1.9.10","updateType":1})"),
            "check 2", "1.9.10! 1.10.0:修复 ü 2.0.0", "发现新版本:强制更新"};
        QTest::newRow("duplicate_first_wins") << Evaluation {"1.0.0",
            list(R"({"version":"2.0.0"},{"version":"2.0.0","updateType":1})"), "check 1", "2.0.0",
            optional};
        QTest::newRow("older_enforced_entry_does_not_count") << Evaluation {"2.0.0",
            list(R"({"version":"1.0.0","updateType":1},{"version":"3.0.0"})"), "check 1", "3.0.0",
            optional};
        QTest::newRow("bad_entries_dropped") << Evaluation {"1.0.0",
            list(
                R"({"version":"1.5"},{"version":1.5},5,"2.0.0",{"version":"x.1.1","updateType":1},{"version":"01.10.0"})"),
            "check 1", "1.10.0", optional};
        QTest::newRow("no_version_file") << Evaluation {
            {}, list(R"({"version":"0.0.1"},{"version":"-1.0.0"})"), "check 1", "0.0.1", optional};
        QTest::newRow("version_file_unreadable") << Evaluation {"/", list(R"({"version":"0.0.1"})"),
            "check 1", "0.0.1", "本地版本信息文件打开失败:.*/version \\S.*\n" + optional};
        QTest::newRow("installed_ends_at_nul") << Evaluation {
            QByteArray("3.4.5\0junk", 10), list(R"({"version":"3.4.5"})"), "check 0", "", upToDate};
        QTest::newRow("installed_with_byte_order_mark") << Evaluation {"\xEF\xBB\xBF"
                                                                       "1.2.3",
            list(R"({"version":"1.2.3"})"), "check 0", "", upToDate};
        QTest::newRow("installed_partly_read") << Evaluation {"2.x.1",
            list(R"({"version":"2.0.0"},{"version":"2.0.1"})"), "check 1", "2.0.1", optional};
        // Notepad starts UTF-8 with a byte-order mark; a server may keep the list in the local code
        // page.
        QTest::newRow("list_with_byte_order_mark")
            << Evaluation {"1.0.0", "\xEF\xBB\xBF" + list(R"({"version":"2.0.0","reason":"修"})"),
                   "check 1", "2.0.0:修", optional};
        QTest::newRow("list_in_gbk")
            << Evaluation {"1.0.0", list("{\"version\":\"2.0.0\",\"reason\":\"\xD0\xDE\xB8\xB4\"}"),
                   "check 1", "2.0.0:修复", optional, false, "beside", true};
        QTest::newRow("list_of_3MiB")
            << Evaluation {"1.0.0", list(R"({"version":"2.0.0"})") + QByteArray(3 << 20, ' '),
                   "check 1", "2.0.0", optional};
        const QString failed = "error 请求服务器超时： end 0";
        QTest::newRow("list_after_a_time_out")
            << Evaluation {"1.0.0", list(R"({"version":"2.0.0"})"), failed + ' ' + failed, "",
                   "请求服务器超时：\n请求服务器超时：", true};
        QTest::newRow("tool_on_the_search_path") << Evaluation {
            "1.0.0", list(R"({"version":"2.0.0"})"), "check 1", "2.0.0", optional, false, "path"};
        // Reported at once, not after the 10 s bound.
        QTest::newRow("no_tool") << Evaluation {
            "1.0.0", "", failed, "", "请求服务器超时：", false, "none"};
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

    void safePath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        const auto row = [](const char* name, const QString& path, bool safe) {
            QTest::newRow(name) << path << safe;
        };
        row("file", "Tavrix.exe", true), row("nested", "bin/plugins/a.dll", true),
            row("dots_inside_names", "a..b/c.d", true);
        row("non_ascii", "数据/文件.txt", true), row("hash_and_percent", "a#b%41.txt", true);
        row("device_like_name", "console.txt", true), row("com_without_digit", "COMX", true);
        row("empty", "", false), row("parent", "../x", false),
            row("parent_inside", "a/../../x", false);
        row("parent_at_end", "a/..", false), row("current", "./x", false),
            row("absolute", "/etc/x", false);
        row("drive", "C:/x", false), row("drive_relative", "C:x", false),
            row("stream", "a.txt:evil", false);
        row("backslash", "a\\..\\..\\x", false), row("unc", "\\\\server\\share", false);
        row("empty_segment", "a//b", false), row("trailing_slash", "a/", false);
        row("dot_dot_blank", "a/.. /x", false), row("trailing_dot", ".../x", false);
        row("line_feed", "a\nb", false), row("nul", QString("a") + QChar(0) + "b", false);
        row("del", QString("a") + QChar(0x7f), false),
            row("c1_control", QString("a") + QChar(0x85), false);
        row("star", "a*.txt", false), row("question_mark", "a?.txt", false),
            row("pipe", "a|b", false);
        row("angle_brackets", "a<b>", false), row("quote", "a\"b", false);
        row("device", "data/NUL", false), row("device_with_extension", "con.txt", false),
            row("numbered_device", "bin/Com1.log", false);
        // Windows reads the superscripts one to three, not four, as digits of a device name.
        row("superscript_device", "COM¹", false),
            row("superscript_device_with_extension", "data/lpt³.txt", false),
            row("superscript_four", "LPT⁴", true);
    }

    void safePath()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(isSafeRelativePath(path), safe);
    }

    // The entries of a manifest, each as it goes into an address.
    void manifest_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("addresses");
        QTest::newRow("in_order_encoded")
            << QByteArray("{\"value\":[\"b.txt\",\"a#b%41.txt\",\"数据/x y.txt\",\"b.txt\"]}")
            << QStringList {"b.txt", "a%23b%2541.txt", "%E6%95%B0%E6%8D%AE/x%20y.txt", "b.txt"};
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
