#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// Parses text as URL components the way a strict (RFC 3986) URL parser does: spaces, control characters,
// non-ASCII characters, stray "%" escapes, non-numeric or out-of-range ports, brackets outside an IP literal
// host and other characters a URL cannot hold make it fail. An empty text parses as an empty reference (no
// scheme, no host, no path).
std::optional<QUrl> parseUrlComponents(const QString &text);
