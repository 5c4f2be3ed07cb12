#include "Artwork.h"

#include <QPainter>
#include <QSvgRenderer>

// The pictures live in the GUI library's resources, which a static library
// must register itself.
static void registerResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace Artwork {

QPixmap picture(const QString &svgResource, const QSize &size, qreal devicePixelRatio)
{
    registerResources();
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(svgResource);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon icon(const QString &svgResource)
{
    QIcon result;
    for (int side : {16, 22, 24, 32, 48, 64, 128})
        result.addPixmap(picture(svgResource, QSize(side, side)));
    return result;
}

} // namespace Artwork
