#include "zelkorversion.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>


namespace {

ZelkorVersionStru version(int major, int minor, int patch)
{
    ZelkorVersionStru v;
    v.major = major;
    v.minor = minor;
    v.patch = patch;
    return v;
}

QJsonObject entry(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void order_data();
    void order();
    void setVersion_data();
    void setVersion();
    void setVersionKeepsRecordOnFailure();
    void safePath_data();
    void safePath();
    void urlPath_data();
    void urlPath();
    void manifestEntries_data();
    void manifestEntries();
};

void TestVersion::parse_data()
{
    // The record starts at 9.9.9 so that untouched numbers show.
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("result");

    QTest::newRow("plain") << "1.2.3" << true << "1.2.3";
    QTest::newRow("two_digit_minor") << "1.10.0" << true << "1.10.0";
    QTest::newRow("crlf_at_end") << "1.2.3\r\n" << true << "1.2.3";
    QTest::newRow("blanks_around_numbers") << " 1 . 2 .\t3 " << true << "1.2.3";
    QTest::newRow("leading_zeros") << "01.002.03" << true << "1.2.3";
    QTest::newRow("plus_sign") << "+1.2.3" << true << "1.2.3";
    QTest::newRow("minus_sign") << "-1.0.0" << true << "-1.0.0";
    QTest::newRow("largest_int") << "2147483647.0.0" << true << "2147483647.0.0";
    QTest::newRow("two_pieces_unchanged") << "1.2" << false << "9.9.9";
    QTest::newRow("four_pieces_unchanged") << "1.2.3.4" << false << "9.9.9";
    QTest::newRow("full_stop_at_end_unchanged") << "1.2.3." << false << "9.9.9";
    QTest::newRow("empty_unchanged") << "" << false << "9.9.9";
    QTest::newRow("empty_middle_piece") << "1..3" << false << "1.0.9";
    QTest::newRow("letter_in_middle") << "1.x.3" << false << "1.0.9";
    QTest::newRow("blank_inside_piece") << "1.2 0.3" << false << "1.0.9";
    QTest::newRow("overflow_first") << "2147483648.1.1" << false << "0.9.9";
    QTest::newRow("overflow_last") << "1.2.99999999999" << false << "1.2.0";
    QTest::newRow("hex_not_taken") << "0x1.2.3" << false << "0.9.9";
    QTest::newRow("sign_alone") << "1.-.3" << false << "1.0.9";
}

void TestVersion::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, result);

    ZelkorVersionStru v = version(9, 9, 9);
    QCOMPARE(v.parseVersion(text), ok);
    QCOMPARE(v.versionString(), result);
}

void TestVersion::order_data()
{
    QTest::addColumn<QString>("left");
    QTest::addColumn<QString>("right");
    QTest::addColumn<int>("expected"); // -1 older, 0 same, 1 newer

    QTest::newRow("numeric_not_textual") << "1.10.0" << "1.9.9" << 1;
    QTest::newRow("major_wins") << "2.0.0" << "1.99.99" << 1;
    QTest::newRow("equal") << "1.2.3" << "1.2.3" << 0;
    QTest::newRow("leading_zero_equal") << "1.02.3" << "1.2.3" << 0;
    QTest::newRow("patch_decides") << "1.2.3" << "1.2.4" << -1;
    QTest::newRow("negative_older_than_zero") << "-1.0.0" << "0.0.0" << -1;
}

void TestVersion::order()
{
    QFETCH(QString, left);
    QFETCH(QString, right);
    QFETCH(int, expected);

    ZelkorVersionStru a;
    ZelkorVersionStru b;
    QVERIFY(a.parseVersion(left));
    QVERIFY(b.parseVersion(right));
    QCOMPARE(a < b, expected < 0);
    QCOMPARE(a > b, expected > 0);
    QCOMPARE(a == b, expected == 0);
    QCOMPARE(b < a, expected > 0);
}

void TestVersion::setVersion_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("versionText");
    QTest::addColumn<bool>("enforce");
    QTest::addColumn<QString>("reason");

    QTest::newRow("optional") << QByteArray(R"({"version":"1.2.3","updateType":0,"reason":"r"})")
                              << true << "1.2.3" << false << "r";
    QTest::newRow("type_1") << QByteArray(R"({"version":"1.2.3","updateType":1})") << true
                            << "1.2.3" << true << "";
    QTest::newRow("type_2") << QByteArray(R"({"version":"1.2.3","updateType":2})") << true
                            << "1.2.3" << true << "";
    QTest::newRow("type_negative") << QByteArray(R"({"version":"1.2.3","updateType":-1})") << true
                                   << "1.2.3" << true << "";
    QTest::newRow("type_integral_double") << QByteArray(R"({"version":"1.2.3","updateType":1.0})")
                                          << true << "1.2.3" << true << "";
    QTest::newRow("type_fraction") << QByteArray(R"({"version":"1.2.3","updateType":0.5})") << true
                                   << "1.2.3" << false << "";
    QTest::newRow("type_string") << QByteArray(R"({"version":"1.2.3","updateType":"1"})") << true
                                 << "1.2.3" << false << "";
    QTest::newRow("type_bool") << QByteArray(R"({"version":"1.2.3","updateType":true})") << true
                               << "1.2.3" << false << "";
    QTest::newRow("type_null") << QByteArray(R"({"version":"1.2.3","updateType":null})") << true
                               << "1.2.3" << false << "";
    QTest::newRow("type_missing") << QByteArray(R"({"version":"1.2.3"})") << true << "1.2.3"
                                  << false << "";
    QTest::newRow("reason_not_string") << QByteArray(R"({"version":"1.2.3","reason":5})") << true
                                       << "1.2.3" << false << "";
    QTest::newRow("version_number_rejected") << QByteArray(R"({"version":1.2,"updateType":1})")
                                             << false << "0.0.0" << false << "";
    QTest::newRow("version_two_pieces_rejected") << QByteArray(R"({"version":"1.2"})") << false
                                                 << "0.0.0" << false << "";
    QTest::newRow("version_missing_rejected") << QByteArray(R"({"updateType":1})") << false
                                              << "0.0.0" << false << "";
}

void TestVersion::setVersion()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, ok);
    QFETCH(QString, versionText);
    QFETCH(bool, enforce);
    QFETCH(QString, reason);

    ZelkorVersionStru v;
    QCOMPARE(v.setVersion(QJsonDocument::fromJson(json).object()), ok);
    QCOMPARE(v.versionString(), versionText);
    QCOMPARE(v.enforce, enforce);
    QCOMPARE(v.reason, reason);
}

void TestVersion::setVersionKeepsRecordOnFailure()
{
    ZelkorVersionStru v = version(5, 5, 5);
    v.enforce = true;
    v.reason = QStringLiteral("kept");
    QVERIFY(!v.setVersion(entry(R"({"version":"7.x.1","updateType":0,"reason":"new"})")));
    // Numbers may be partly overwritten, the rest stays.
    QCOMPARE(v.versionString(), QStringLiteral("7.0.5"));
    QVERIFY(v.enforce);
    QCOMPARE(v.reason, QStringLiteral("kept"));
}

void TestVersion::safePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");

    QTest::newRow("file") << "Tavrix.exe" << true;
    QTest::newRow("nested") << "bin/plugins/a.dll" << true;
    QTest::newRow("dots_inside_name") << "a..b/c.d" << true;
    QTest::newRow("non_ascii") << "数据/文件.txt" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("parent") << "../x" << false;
    QTest::newRow("parent_inside") << "a/../../x" << false;
    QTest::newRow("parent_at_end") << "a/.." << false;
    QTest::newRow("current") << "./x" << false;
    QTest::newRow("absolute") << "/etc/x" << false;
    QTest::newRow("drive") << "C:/x" << false;
    QTest::newRow("drive_relative") << "C:x" << false;
    QTest::newRow("stream") << "a.txt:evil" << false;
    QTest::newRow("backslash") << "a\\..\\..\\x" << false;
    QTest::newRow("unc") << "\\\\server\\share" << false;
    QTest::newRow("empty_segment") << "a//b" << false;
    QTest::newRow("trailing_slash") << "a/" << false;
    QTest::newRow("dot_dot_blank") << "a/.. /x" << false;
    QTest::newRow("three_dots") << ".../x" << false;
    QTest::newRow("control_char") << QStringLiteral("a\nb") << false;
    QTest::newRow("nul_char") << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b"))
                              << false;
    QTest::newRow("del_char") << QString(QStringLiteral("a") + QChar(0x7f)) << false;
    QTest::newRow("c1_control") << QString(QStringLiteral("a") + QChar(0x85)) << false;
    QTest::newRow("wildcard") << "a*.txt" << false;
    QTest::newRow("question_mark") << "a?.txt" << false;
    QTest::newRow("pipe") << "a|b" << false;
    QTest::newRow("angle") << "a<b>" << false;
    QTest::newRow("quote") << "a\"b" << false;
    QTest::newRow("device_nul") << "data/NUL" << false;
    QTest::newRow("device_with_extension") << "con.txt" << false;
    QTest::newRow("device_com") << "bin/Com1.log" << false;
    QTest::newRow("device_like_name") << "console.txt" << true;
    QTest::newRow("com_without_digit") << "COMX" << true;
    QTest::newRow("hash_and_percent") << "a#b%41.txt" << true;
}

void TestVersion::safePath()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(isSafeRelativePath(path), safe);
}

void TestVersion::urlPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("encoded");
    QTest::newRow("plain") << "bin/core.dll" << "bin/core.dll";
    QTest::newRow("fragment_kept") << "a#b.txt" << "a%23b.txt";
    QTest::newRow("percent_kept") << "pct%41.txt" << "pct%2541.txt";
    QTest::newRow("blank") << "x y.txt" << "x%20y.txt";
    QTest::newRow("non_ascii") << "数据/a.txt" << "%E6%95%B0%E6%8D%AE/a.txt";
}

void TestVersion::urlPath()
{
    QFETCH(QString, path);
    QFETCH(QString, encoded);
    QCOMPARE(::urlPath(path), encoded);
    // What a server decodes is the path itself.
    QCOMPARE(QUrl(QStringLiteral("http://h/") + ::urlPath(path)).path(QUrl::FullyDecoded),
             QStringLiteral("/") + path);
}

void TestVersion::manifestEntries_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("strings_in_order")
        << QByteArray(R"({"value":["b.txt","a/c.txt","b.txt"]})")
        << QStringList{QStringLiteral("b.txt"), QStringLiteral("a/c.txt"), QStringLiteral("b.txt")};
    QTest::newRow("non_string_reads_empty")
        << QByteArray(R"({"value":[1,"a",null]})")
        << QStringList{QString(), QStringLiteral("a"), QString()};
    QTest::newRow("not_json") << QByteArray("<html>") << QStringList();
    QTest::newRow("top_level_array") << QByteArray(R"(["a"])") << QStringList();
    QTest::newRow("value_not_array") << QByteArray(R"({"value":"a"})") << QStringList();
    QTest::newRow("no_value") << QByteArray(R"({"files":["a"]})") << QStringList();
}

void TestVersion::manifestEntries()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, entries);
    QCOMPARE(::manifestEntries(body), entries);
}

QTEST_APPLESS_MAIN(TestVersion)
#include "tst_version.moc"
