#include "App/Window/QuickFolderChooser.h"

#include <QEventLoop>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QUrl>
#include <QWindow>

#include <memory>

QuickFolderChooser::QuickFolderChooser(QQmlEngine &engine) : m_engine(engine) {}

std::optional<QString> QuickFolderChooser::chooseFolder(const FolderChooserRequest &request)
{
    QQmlComponent component(&m_engine);
    component.setData("import QtQuick.Dialogs\nFolderDialog {}\n", QUrl());
    std::unique_ptr<QObject> dialog(component.create());
    if (!dialog) {
        qWarning("folder chooser: %s", qPrintable(component.errorString()));
        return std::nullopt;
    }
    // The toolkit's dialog has no message line: its title carries the request's message.
    dialog->setProperty("title", request.message);
    dialog->setProperty("acceptLabel", request.confirmTitle);
    if (!request.startDirectory.isEmpty())
        dialog->setProperty("currentFolder", QUrl::fromLocalFile(request.startDirectory));
    if (m_parentWindow)
        dialog->setProperty("parentWindow", QVariant::fromValue(m_parentWindow.data()));

    // Modal: the caller needs the answer before it goes on, as with the platform's own choosers.
    QEventLoop loop;
    QObject::connect(dialog.get(), SIGNAL(accepted()), &loop, SLOT(quit()));
    QObject::connect(dialog.get(), SIGNAL(rejected()), &loop, SLOT(quit()));
    QMetaObject::invokeMethod(dialog.get(), "open");
    loop.exec();
    constexpr int accepted = 1;
    if (dialog->property("result").toInt() != accepted)
        return std::nullopt;
    const QUrl folder = dialog->property("selectedFolder").toUrl();
    if (!folder.isLocalFile())
        return std::nullopt;
    return folder.toLocalFile();
}
