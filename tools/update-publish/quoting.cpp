#include "quoting.h"

namespace {

const int pathsPerMessage = 10;

} // namespace

QString quoted(const QString& text)
{
    QString out(QLatin1Char('"'));
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + QString(c);
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

QString shortList(const QStringList& items)
{
    QString text = items.mid(0, pathsPerMessage).join(QStringLiteral(", "));
    if (items.size() > pathsPerMessage)
        text += QStringLiteral(" and %1 more").arg(items.size() - pathsPerMessage);
    return text;
}

QString quotedList(const QStringList& items)
{
    QStringList all;
    all.reserve(items.size());
    for (const QString& item : items)
        all << quoted(item);
    return shortList(all);
}
