#pragma once

#include <QString>

#include <optional>

// What the user is asked when a folder is to be chosen.
struct FolderChooserRequest {
    QString startDirectory;
    QString confirmTitle; // the confirm button's text
    QString message;
};

// A modal folder chooser: the window puts up the toolkit's folder dialog, tests script the answer.
class FolderChooser {
public:
    virtual ~FolderChooser() = default;
    // The absolute path of the folder the user confirmed, or none when the user cancelled.
    virtual std::optional<QString> chooseFolder(const FolderChooserRequest &request) = 0;
};
