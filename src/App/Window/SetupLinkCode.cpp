#include "App/Window/SetupLinkCode.h"

#include "App/HostPresenter.h"
#include "Services/Links/QRCodeRenderer.h"
#include "Shared/NotifyingSetter.h"

#include <QPainter>

SetupLinkCode::SetupLinkCode(QQuickItem *parent) : QQuickPaintedItem(parent)
{
    setAntialiasing(false);
    setSmooth(false);
}

void SetupLinkCode::setPresenter(HostPresenter *presenter)
{
    if (m_presenter == presenter)
        return;
    if (m_presenter)
        m_presenter->disconnect(this);
    m_presenter = presenter;
    if (presenter)
        connect(presenter, &HostPresenter::setupLinkChanged, this, &SetupLinkCode::render);
    emit presenterChanged();
    render();
}

void SetupLinkCode::setRenderSize(qreal size)
{
    if (qFuzzyCompare(m_renderSize, size))
        return;
    m_renderSize = size;
    emit renderSizeChanged();
    render();
}

void SetupLinkCode::setBrowserForm(bool browserForm)
{
    if (m_browserForm == browserForm)
        return;
    m_browserForm = browserForm;
    emit browserFormChanged();
    render();
}

void SetupLinkCode::render()
{
    const bool had = hasImage();
    const QImage modules = m_presenter ? m_presenter->setupLinkCode(m_browserForm) : QImage();
    m_image = QRCodeRenderer::scaled(modules, m_renderSize).value_or(QImage());
    if (had != hasImage())
        emit hasImageChanged();
    update();
}

void SetupLinkCode::paint(QPainter *painter)
{
    if (m_image.isNull())
        return;
    painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->drawImage(boundingRect(), m_image);
}
