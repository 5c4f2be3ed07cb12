#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

// Pictures drawn from the SVG sources in resources/.
namespace Artwork {

// An icon with pixmaps rendered for the usual tray and window sizes.
QIcon icon(const QString &svgResource);
// A picture rendered at the given size in device-independent pixels.
QPixmap picture(const QString &svgResource, const QSize &size, qreal devicePixelRatio = 1.0);

} // namespace Artwork
