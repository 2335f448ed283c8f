#include "Services/Redaction/HostSecretRedactor.h"

#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>

// How long masking one line of agent output takes with the host's six secrets, for lines without a secret
// (the usual case), with one, and with percent-encoded text that makes the matcher look closer.
int main()
{
    const QStringList secrets{QStringLiteral("q3Vb8kX_2mZ-pL0aRt7yNw4cE1sD9fGhJkLmNoPqRsT"),
                              QStringLiteral("6f1c2a9e-3b7d-4c1e-9a2f-0d8e5b4c3a21"),
                              QStringLiteral("host_Ab3dE5fG7hJ9kL1mN3pQ5r"),
                              QStringLiteral("Rt0-kP9_mQ8nW7bV6cX5zL4aS3dF2gH1jK0lZ9xC8vB"),
                              QStringLiteral("Zx9-Yw8_Vu7Ts6Rq5Po4Nm3Lk2Ji1Hg0Fe9Dc8Ba7z6y"),
                              QStringLiteral("2abcDEF_ngrok token")};
    const QList<std::pair<const char *, QString>> lines{
        {"plain", QStringLiteral("2026-12-05T06:10:00Z INFO session opened for workspace /Users/dev/project "
                                 "(codex turn 17, 4213 tokens)")},
        {"secret", QStringLiteral("relay: connecting to wss://relay.example.org/relay/"
                                  "6f1c2a9e-3b7d-4c1e-9a2f-0d8e5b4c3a21 as host_Ab3dE5fG7hJ9kL1mN3pQ5r")},
        {"encoded",
         QStringLiteral("GET /api?q=%2Fusers%2Fdev%2Fproject%20files&t=2abcDEF_ngrok+token&x=%25 HTTP/1.1")},
    };
    constexpr int rounds = 200000;
    for (const auto &[name, line] : lines) {
        QElapsedTimer timer;
        timer.start();
        qsizetype total = 0;
        for (int i = 0; i < rounds; ++i)
            total += HostSecretRedactor::redact(line, secrets).size();
        std::printf("%-8s %7.0f ns per line (%lld)\n", name, double(timer.nsecsElapsed()) / rounds,
                    static_cast<long long>(total / rounds));
    }
    return 0;
}
