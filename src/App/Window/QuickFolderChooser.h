#pragma once

#include "Platform/FolderChooser.h"

#include <QPointer>

class QQmlEngine;
class QWindow;

// The toolkit's folder dialog, run modally over the main window.
class QuickFolderChooser : public FolderChooser {
public:
    explicit QuickFolderChooser(QQmlEngine &engine);

    void setParentWindow(QWindow *window) { m_parentWindow = window; }
    std::optional<QString> chooseFolder(const FolderChooserRequest &request) override;

private:
    QQmlEngine &m_engine;
    QPointer<QWindow> m_parentWindow;
};
