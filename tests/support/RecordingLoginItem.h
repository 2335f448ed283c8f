#pragma once

#include "Platform/LoginItem.h"

#include <QStringList>

// Records which login item call was made and answers as the test says.
class RecordingLoginItem : public LoginItem {
public:
    std::optional<QString> registerApplication() override { return calls.append("register"), answer; }
    std::optional<QString> unregisterApplication() override { return calls.append("unregister"), answer; }

    QStringList calls;
    std::optional<QString> answer;
};
