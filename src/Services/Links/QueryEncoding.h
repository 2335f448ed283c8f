#pragma once

#include <QString>
#include <QStringView>

// The percent-encoding of the names and values of a setup link's query (UTF-8, upper-case hex).
namespace QueryEncoding {

// Characters a query may hold literally stand as they are (so ":" and "/" in a URL value and ":" in a date
// stay readable); every other character is encoded, and so are the ones that end an item or a name
// ("&", "=", ";", "#") and "+", which form decoders read as a blank.
QString encodedComponent(const QString &text);

// Decodes every "%" followed by two hex digits as UTF-8; anything else, "+" included, stays as it is.
QString decodedComponent(QStringView encoded);

} // namespace QueryEncoding
