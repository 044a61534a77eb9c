#include "picturebox.h"

#include <QPaintEvent>
#include <QPainter>

namespace varnok {

PictureBox::PictureBox(const QImage &picture, QWidget *parent)
    : QWidget(parent)
    , surface_(picture)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    surface_.setRefreshHandler([this] { update(); });
}

void PictureBox::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.drawImage(event->rect(), surface_.image(), event->rect());
}

} // namespace varnok
