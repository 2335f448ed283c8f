#pragma once

#include <QImage>
#include <QQmlEngine>
#include <QQuickPaintedItem>
#include <QString>

// Draws the QR code of `text`, made at `renderSize` pixels, stretched into the item without smoothing, so
// every module keeps hard edges for the camera.
class QRCodeImage : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(qreal renderSize READ renderSize WRITE setRenderSize NOTIFY renderSizeChanged)
    Q_PROPERTY(bool hasImage READ hasImage NOTIFY hasImageChanged)

public:
    explicit QRCodeImage(QQuickItem *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    qreal renderSize() const { return m_renderSize; }
    void setRenderSize(qreal size);
    bool hasImage() const { return !m_image.isNull(); }

    void paint(QPainter *painter) override;

signals:
    void textChanged();
    void renderSizeChanged();
    void hasImageChanged();

private:
    void render();

    QString m_text;
    qreal m_renderSize = 220;
    QImage m_image;
};
