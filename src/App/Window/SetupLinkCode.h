#pragma once

#include <QImage>
#include <QPointer>
#include <QQmlEngine>
#include <QQuickPaintedItem>

class HostPresenter;

// The setup link's QR code (or its browser form's), fed from C++: it takes the code's modules from the
// presenter, draws them at `renderSize` pixels and stretches that into the item without smoothing, so every
// module keeps hard edges for the camera. Neither the link nor its code passes through QML.
class SetupLinkCode : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(HostPresenter *presenter READ presenter WRITE setPresenter NOTIFY presenterChanged)
    Q_PROPERTY(qreal renderSize READ renderSize WRITE setRenderSize NOTIFY renderSizeChanged)
    // The link's browser form rather than the app's.
    Q_PROPERTY(bool browserForm READ browserForm WRITE setBrowserForm NOTIFY browserFormChanged)
    Q_PROPERTY(bool hasImage READ hasImage NOTIFY hasImageChanged)

public:
    explicit SetupLinkCode(QQuickItem *parent = nullptr);

    HostPresenter *presenter() const { return m_presenter; }
    void setPresenter(HostPresenter *presenter);
    qreal renderSize() const { return m_renderSize; }
    void setRenderSize(qreal size);
    bool browserForm() const { return m_browserForm; }
    void setBrowserForm(bool browserForm);
    bool hasImage() const { return !m_image.isNull(); }
    // What is drawn, for tests.
    QImage image() const { return m_image; }

    void paint(QPainter *painter) override;

signals:
    void presenterChanged();
    void renderSizeChanged();
    void browserFormChanged();
    void hasImageChanged();

private:
    void render();

    QPointer<HostPresenter> m_presenter;
    qreal m_renderSize = 220;
    bool m_browserForm = false;
    QImage m_image;
};
