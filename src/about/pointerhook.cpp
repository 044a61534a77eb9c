#include "pointerhook.h"

namespace varnok {

PointerHook::PointerHook(Client client)
    : client_(std::move(client))
{}

PointerHook::~PointerHook() = default;

void PointerHook::attach(QWidget *widget, QEvent::Type type)
{
    auto &types = attached_[widget];
    if (types.isEmpty()) {
        widget->installEventFilter(this);
        // A destroyed widget takes its attachments with it.
        connect(widget, &QObject::destroyed, this,
                [this](QObject *gone) { attached_.remove(gone); });
    }
    types.insert(type);
    if (type == QEvent::MouseMove)
        widget->setMouseTracking(true);
}

void PointerHook::detach(QWidget *widget, QEvent::Type type)
{
    auto found = attached_.find(widget);
    if (found == attached_.end())
        return;
    found->remove(type);
    if (!found->isEmpty())
        return;
    attached_.erase(found);
    widget->removeEventFilter(this);
    disconnect(widget, &QObject::destroyed, this, nullptr);
}

bool PointerHook::isAttached(const QWidget *widget, QEvent::Type type) const
{
    return attached_.value(widget).contains(type);
}

bool PointerHook::eventFilter(QObject *watched, QEvent *event)
{
    const auto found = attached_.constFind(watched);
    if (found != attached_.cend() && found->contains(event->type()))
        client_(event->type());
    return false;
}

} // namespace varnok
