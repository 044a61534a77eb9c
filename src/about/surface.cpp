#include "surface.h"

#include <QFontDatabase>
#include <QPainter>

#include <cstring>
#include <stdexcept>

namespace varnok {

Surface::Surface(QSize size, QColor fill)
    : image_(size, QImage::Format_RGB32)
{
    image_.fill(fill);
}

Surface::Surface(QImage image)
    : image_(image.convertToFormat(QImage::Format_RGB32))
{}

float Surface::innerWidth() const
{
    requirePixels();
    return float(image_.width());
}

float Surface::innerHeight() const
{
    requirePixels();
    return float(image_.height());
}

void Surface::setFont(const QFont &font)
{
    font_ = font;
    metrics_.reset();
}

void Surface::setBold(bool bold)
{
    if (font_.bold() == bold)
        return;
    font_.setBold(bold);
    metrics_.reset();
}

const QFontMetricsF &Surface::metrics() const
{
    // Measuring with the surface itself keeps widths and heights those of the drawn glyphs.
    if (!metrics_)
        metrics_.emplace(font_, image_.isNull() ? nullptr : &image_);
    return *metrics_;
}

float Surface::textWidth(const QString &text) const
{
    requirePixels();
    return float(metrics().horizontalAdvance(text));
}

float Surface::lineHeight() const
{
    requirePixels();
    return float(metrics().height());
}

void Surface::print(const QString &text)
{
    requirePixels();
    if (printLog_)
        printLog_->push_back({text, currentX, currentY, bold()});
    // Lines wholly above or below the surface would be cut off anyway; skip rendering them.
    const float height = lineHeight();
    const bool visible = currentY < float(image_.height()) && currentY + height > 0.0f;
    if (visible && !text.isEmpty()) {
        QPainter painter(&image_);
        painter.setFont(font_);
        painter.setPen(foreColor);
        painter.drawText(QPointF(currentX, currentY + float(metrics().ascent())), text);
    }
    currentX = 0;
    currentY += height;
}

void Surface::refresh()
{
    if (refreshHandler_)
        refreshHandler_();
}

void Surface::copyFrom(int dx, int dy, int w, int h, const Surface &src, int sx, int sy)
{
    requirePixels();
    src.requirePixels();
    // Clip the source rectangle to the source, then what is left to this surface.
    QRect from = QRect(sx, sy, w, h) & src.image_.rect();
    QRect to = from.translated(dx - sx, dy - sy) & image_.rect();
    from = to.translated(sx - dx, sy - dy);
    if (to.isEmpty())
        return;
    const auto rowBytes = std::size_t(to.width()) * sizeof(QRgb);
    for (int row = 0; row < to.height(); ++row) {
        const auto *in = reinterpret_cast<const QRgb *>(src.image_.constScanLine(from.y() + row));
        auto *out = reinterpret_cast<QRgb *>(image_.scanLine(to.y() + row));
        std::memcpy(out + to.x(), in + from.x(), rowBytes);
    }
}

void Surface::requirePixels() const
{
    if (image_.isNull())
        throw std::runtime_error("surface has no pixels");
}

namespace {

// Where Tahoma is not installed for the whole system, a copy that the Windows compatibility
// fonts package ships may still be on disk.
void offerTahoma()
{
    static const bool offered = [] {
        if (QFontDatabase::hasFamily(QStringLiteral("Tahoma")))
            return true;
        for (const auto *file :
             {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"})
            QFontDatabase::addApplicationFont(QString::fromLatin1(file));
        return QFontDatabase::hasFamily(QStringLiteral("Tahoma"));
    }();
    Q_UNUSED(offered);
}

} // namespace

QFont creditsFont()
{
    offerTahoma();
    QFont font(QStringLiteral("Tahoma"));
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
    // 9 points at 96 dots per inch, fixed in pixels so that every screen lays the credits out
    // alike.
    constexpr int points = 9;
    constexpr int dotsPerInch = 96;
    font.setPixelSize(points * dotsPerInch / 72);
    font.setWeight(QFont::Normal);
    font.setBold(false);
    return font;
}

} // namespace varnok
