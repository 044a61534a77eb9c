#pragma once

#include "surface.h"

#include <QWidget>

namespace varnok {

// A widget that shows a persistent image unscaled at its top-left corner and repaints it when
// the image's surface is refreshed.
class PictureBox final : public QWidget
{
    Q_OBJECT

public:
    PictureBox(const QImage &picture, QWidget *parent);
    Q_DISABLE_COPY_MOVE(PictureBox)

    Surface &surface() { return surface_; }
    const Surface &surface() const { return surface_; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Surface surface_;
};

} // namespace varnok
