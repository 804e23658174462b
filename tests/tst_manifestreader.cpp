// The manifest reader given the body in pieces: whatever the cut, inside a UTF-8 sequence, an
// escape, a number or a literal, it reads what the whole body says. fuzz_manifestreader compares
// it with QJsonDocument; these rows hold the cuts it may not reach, and the bodies Qt reads
// leniently that the reader refuses.

#include "manifestreader.h"

#include <QtTest>

// The entries and, for each, the size listed or "-", after the body in pieces of the sizes given
// (the last repeated); "not JSON" for a body that is not.
static QString read(const QByteArray& body, const QList<int>& pieces)
{
    ManifestReader reader;
    for (int at = 0, i = 0; at < body.size();
         at += pieces.at(i), i = qMin(i + 1, pieces.size() - 1))
        reader.feed(body.constData() + at, size_t(qMin(pieces.at(i), body.size() - at)));
    if (!reader.finish())
        return QStringLiteral("not JSON");
    const QStringList entries = reader.entries();
    const QMap<QString, SignedFile> listed = reader.takeListedHashes(entries);
    QStringList described;
    for (const QString& entry : entries)
        described << entry + ':'
                + (listed.contains(fileKey(entry)) ? QString::number(listed[fileKey(entry)].size)
                                                   : "-");
    return described.join(' ');
}

class TestManifestReader : public QObject
{
    Q_OBJECT

private slots:
    void pieces_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const QByteArray& body, const QByteArray& expected) {
            QTest::newRow(name) << body << QString::fromUtf8(expected.constData(), expected.size());
        };
        const QByteArray listed
            = "],\"files\":{\"a\":{\"sha256\":\"" + QByteArray(64, 'F') + "\",\"size\":";
        row("utf8", "{\"value\":[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"]}",
            "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80:-");
        row("escapes", "{\"value\":[\"\\u00e9\\ud83d\\uDE00\\\"\\\\\\/\\u0000\"]}",
            QByteArray("\xc3\xa9\xf0\x9f\x98\x80\"\\/\0:-", 12));
        row("byte_order_mark", "\xef\xbb\xbf{\"value\":[\"a\"]}", "a:-");
        row("byte_order_mark_cut_short", "\xef\xbb{\"value\":[\"a\"]}", "not JSON");
        row("byte_order_mark_only", "\xef\xbb\xbf", "not JSON");
        row("numbers_and_literals", "{\"value\":[12.5e-1,true,\"a\",null" + listed + "1.2e1}}}",
            ":- :- a:12 :-");
        row("size_not_whole", "{\"value\":[\"a\"" + listed + "2.5}}}", "a:-");
        row("size_long_number",
            "{\"value\":[\"a\"" + listed + "12" + QByteArray(70, '0') + "e-70}}}", "a:12");
        row("size_out_of_range", "{\"value\":[\"a\"" + listed + "1e400}}}", "not JSON");
        row("last_value_wins", "{\"value\":[\"a\"],\"value\":[\"b\"]}", "b:-");
        row("last_files_wins",
            "{\"files\":{\"b\"" + listed.mid(14) + "5}},\"value\":[\"a\",\"b\"" + listed + "3}}}",
            "a:3 b:-");
        row("last_path_wins", "{\"value\":[\"a\"" + listed + "3}, \"a\":{}}}", "a:-");
        row("top_level_array", "[\"a\"]", "");
        row("top_level_scalar", "\"a\"", "not JSON");
        row("nesting_at_limit",
            "{\"value\":[\"a\"],\"x\":" + QByteArray(1023, '[') + QByteArray(1023, ']') + "}",
            "a:-");
        row("nesting_too_deep", "{\"x\":" + QByteArray(1024, '[') + QByteArray(1024, ']') + "}",
            "not JSON");
        // Qt reads these; yajl or the checks beside it refuse them.
        row("unknown_escape", "{\"value\":[\"\\a\"]}", "not JSON");
        row("fraction_without_integer", "{\"value\":[.5]}", "not JSON");
        row("point_without_fraction", "{\"value\":[1.]}", "not JSON");
        row("lone_high_surrogate", "{\"value\":[\"\\ud83d\"]}", "not JSON");
        row("high_surrogate_then_other", "{\"value\":[\"\\ud83d\\u0041\"]}", "not JSON");
        row("lone_low_surrogate", "{\"value\":[\"\\ude00\"]}", "not JSON");
        row("control_character", "{\"value\":[\"a\tb\"]}", "not JSON");
        // yajl lets these through; Qt refuses them.
        row("overlong_utf8", "{\"value\":[\"\xc0\xaf\"]}", "not JSON");
        row("utf8_surrogate", "{\"value\":[\"\xed\xa0\x80\"]}", "not JSON");
        row("utf8_past_unicode", "{\"value\":[\"\xf4\x90\x80\x80\"]}", "not JSON");
        row("vertical_tab", "{\"value\":\v[\"a\"]}", "not JSON");
        row("trailing_string_cut_short", "{\"value\":[\"a\"]} \"b", "not JSON");
        row("trailing_literal_cut_short", "{\"value\":[\"a\"]} tru", "not JSON");
        row("empty", "", "");
        row("utf8_cut_short", "{\"value\":[\"\xc3(\"]}", "not JSON");
        row("escape_cut_short", "{\"value\":[\"\\u00e\"]}", "not JSON");
        row("unterminated", "{\"value\":[\"a\"]", "not JSON");
        row("trailing_garbage", "{\"value\":[\"a\"]} x", "not JSON");
    }

    void pieces()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(read(body, {1}), expected);
        for (int cut = 1; cut < body.size(); ++cut)
            QCOMPARE(read(body, {cut, body.size()}), expected);
    }

    // yajl reads a token cut between pieces again from its start with each piece: held back
    // whole, a long one in network-sized pieces reads in moments rather than hours.
    void longString()
    {
        const QByteArray path(32 << 20, 'p');
        QCOMPARE(
            read("{\"value\":[\"" + path + "\"]}", {16 << 10}), QString::fromLatin1(path) + ":-");
    }
};

QTEST_GUILESS_MAIN(TestManifestReader)
#include "tst_manifestreader.moc"
