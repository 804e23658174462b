// The manifest reader given the body in pieces: whatever the cut, inside a UTF-8 sequence, an
// escape, a number or a literal, it reads what the whole body says. fuzz_manifestreader compares
// it with QJsonDocument; these rows hold the cuts it may not reach.

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
    const QMap<QString, SignedFile> listed = reader.listedHashes(entries);
    QStringList described;
    for (const QString& entry : entries)
        described << entry + ':'
                + (listed.contains(entry) ? QString::number(listed[entry].size) : "-");
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
        const auto row = [](const char* name, const QByteArray& body, const char* expected) {
            QTest::newRow(name) << body << QString::fromUtf8(expected);
        };
        const QByteArray listed
            = "],\"files\":{\"a\":{\"sha256\":\"" + QByteArray(64, 'F') + "\",\"size\":";
        row("utf8", "{\"value\":[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"]}",
            "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80:-");
        row("escapes", "{\"value\":[\"\\u00e9\\ud83d\\uDE00\\\"\\\\\\/\\a\"]}",
            "\xc3\xa9\xf0\x9f\x98\x80\"\\/a:-");
        row("byte_order_mark", "\xef\xbb\xbf{\"value\":[\"a\"]}", "a:-");
        row("numbers_and_literals", "{\"value\":[12.5e-1,true,\"a\",null" + listed + "1.2e1}}}",
            ":- :- a:12 :-");
        row("size_not_whole", "{\"value\":[\"a\"" + listed + ".5}}}", "a:-");
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
};

QTEST_GUILESS_MAIN(TestManifestReader)
#include "tst_manifestreader.moc"
