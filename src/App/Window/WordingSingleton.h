#pragma once

#include "Services/Wording/PlatformWording.h"
#include "Services/Wording/StatusTexts.h"

#include <QObject>
#include <QQmlEngine>

// The words for the views that differ by platform or are said in more than one place, as the singleton
// Wording of Ferrowyn.Core.
class WordingSingleton : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Wording)
    QML_SINGLETON
    Q_PROPERTY(QString grantAccessTip MEMBER m_grantAccessTip CONSTANT)
    Q_PROPERTY(QString revealFolder MEMBER m_revealFolder CONSTANT)
    Q_PROPERTY(QString readinessNote MEMBER m_readinessNote CONSTANT)
    Q_PROPERTY(QString someFoldersBlocked MEMBER m_someFoldersBlocked CONSTANT)
    Q_PROPERTY(QString noFoldersPinned MEMBER m_noFoldersPinned CONSTANT)
    Q_PROPERTY(QString rotatePairingTip MEMBER m_rotatePairingTip CONSTANT)

public:
    using QObject::QObject;

private:
    QString m_grantAccessTip = PlatformWording::grantAccessTip;
    QString m_revealFolder = PlatformWording::revealFolder;
    QString m_readinessNote = PlatformWording::readinessNote;
    QString m_someFoldersBlocked = PlatformWording::someFoldersBlocked;
    QString m_noFoldersPinned = PlatformWording::noFoldersPinned;
    QString m_rotatePairingTip =
        QStringLiteral("Replaces the pairing at once. ") + StatusTexts::rotationConsequence;
};
