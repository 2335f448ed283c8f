// Writes FLOOD_LINES lines of 100 bytes to standard output as fast as it can, then "END-OF-FLOOD".
// Every tenth line carries one of the secrets in FLOOD_SECRETS (comma-separated), in turn. The bytes depend
// only on those two variables, so two runs write exactly the same stream.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

void writeAll(const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(1, text.data() + done, text.size() - done);
        if (n <= 0)
            std::exit(2);
        done += static_cast<size_t>(n);
    }
}

} // namespace

int main()
{
    const char *count = std::getenv("FLOOD_LINES");
    const char *secretList = std::getenv("FLOOD_SECRETS");
    const long lines = count ? std::atol(count) : 0;
    std::vector<std::string> secrets;
    std::string current;
    for (const char *p = secretList ? secretList : ""; *p; ++p) {
        if (*p == ',') {
            secrets.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    if (!current.empty())
        secrets.push_back(current);

    // Made in full before the first write, so the reader, not this writer, sets the pace.
    std::string buffer;
    buffer.reserve(static_cast<size_t>(lines) * 100 + 64);
    char prefix[96];
    for (long i = 0; i < lines; ++i) {
        std::snprintf(prefix, sizeof prefix, "2026-12-06T10:00:00.%06ldZ INFO agent: line %08ld ",
                      i % 1000000, i);
        std::string line = prefix;
        if (i % 10 == 0 && !secrets.empty())
            line += "credential " + secrets[static_cast<size_t>(i / 10) % secrets.size()] + " in use ";
        while (line.size() < 99)
            line += static_cast<char>('a' + line.size() % 26);
        line += '\n';
        buffer += line;
    }
    buffer += "END-OF-FLOOD\n";
    writeAll(buffer);
    return 0;
}
