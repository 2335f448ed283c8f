#include "App/Window/QRCodeImage.h"

#include "Services/Links/QRCodeRenderer.h"

#include <QPainter>

QRCodeImage::QRCodeImage(QQuickItem *parent) : QQuickPaintedItem(parent)
{
    setAntialiasing(false);
    setSmooth(false);
}

void QRCodeImage::setText(const QString &text)
{
    if (m_text == text)
        return;
    m_text = text;
    emit textChanged();
    render();
}

void QRCodeImage::setRenderSize(qreal size)
{
    if (qFuzzyCompare(m_renderSize, size))
        return;
    m_renderSize = size;
    emit renderSizeChanged();
    render();
}

void QRCodeImage::render()
{
    const bool had = hasImage();
    m_image = m_text.isEmpty() ? QImage() : QRCodeRenderer::image(m_text, m_renderSize).value_or(QImage());
    if (had != hasImage())
        emit hasImageChanged();
    update();
}

void QRCodeImage::paint(QPainter *painter)
{
    if (m_image.isNull())
        return;
    painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->drawImage(boundingRect(), m_image);
}
