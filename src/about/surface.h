#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace varnok {

// A drawing surface that keeps its pixels between frames, with a text cursor (current x and y)
// and a font whose bold face can be switched on and off. The credits are composed on such
// surfaces off screen; the visible picture holds one too and repaints it on refresh().
//
// Operations on a surface without pixels fail with std::runtime_error, so that a caller that
// skips failing steps can tell what did not happen.
class Surface final
{
public:
    // One print() as it happened: what a test needs to check the text arithmetic.
    struct Printed
    {
        QString text;
        float x = 0;
        float y = 0;
        bool bold = false;
    };

    Surface() = default;
    Surface(QSize size, QColor fill);
    explicit Surface(QImage image);

    const QImage &image() const { return image_; }
    bool isNull() const { return image_.isNull(); }

    float innerWidth() const;
    float innerHeight() const;

    float currentX = 0;
    float currentY = 0;

    const QFont &font() const { return font_; }
    void setFont(const QFont &font);
    bool bold() const { return font_.bold(); }
    void setBold(bool bold);

    QColor foreColor = Qt::black;

    // Width of text in the current face, pixels.
    float textWidth(const QString &text) const;
    // Height of one line of the current face, pixels.
    float lineHeight() const;

    // Draws only the glyphs of text, top-left corner at the cursor, then moves the cursor to the
    // start of the next line: x becomes 0, y grows by one line height.
    void print(const QString &text);

    // Brings the surface to the screen; what that means is up to whoever shows it.
    void refresh();
    void setRefreshHandler(std::function<void()> handler) { refreshHandler_ = std::move(handler); }

    // Records every print() into log while set; for tests.
    void setPrintLog(std::vector<Printed> *log) { printLog_ = log; }

    // Copies a w x h rectangle of src at (sx, sy) unchanged to (dx, dy) of this surface,
    // clipped to both surfaces.
    void copyFrom(int dx, int dy, int w, int h, const Surface &src, int sx, int sy);

private:
    void requirePixels() const;
    const QFontMetricsF &metrics() const;

    QImage image_;
    QFont font_;
    mutable std::optional<QFontMetricsF> metrics_;
    std::function<void()> refreshHandler_;
    std::vector<Printed> *printLog_ = nullptr;
};

// The credits' face: Tahoma 9 pt at 96 dots per inch, normal weight, or the closest face at hand.
QFont creditsFont();

} // namespace varnok
