#pragma once

#include "Platform/FolderChooser.h"

#include <QList>

// Answers every request with the same scripted choice, and remembers what it was asked.
class ScriptedFolderChooser : public FolderChooser {
public:
    std::optional<QString> chooseFolder(const FolderChooserRequest &request) override
    {
        requests.append(request);
        return answer;
    }

    std::optional<QString> answer;
    QList<FolderChooserRequest> requests;
};
