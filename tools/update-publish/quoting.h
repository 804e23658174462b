#ifndef UPDATE_PUBLISH_QUOTING_H
#define UPDATE_PUBLISH_QUOTING_H

#include <QString>
#include <QStringList>

// Paths end up in one-line messages, so control characters are spelled out.
QString quoted(const QString& text);

// The first few items, then how many more there are.
QString shortList(const QStringList& items);
// The same, each item quoted.
QString quotedList(const QStringList& items);

#endif // UPDATE_PUBLISH_QUOTING_H
