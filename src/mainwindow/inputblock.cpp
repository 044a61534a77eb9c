#include "inputblock.h"

#include <QCoreApplication>
#include <QEvent>

namespace varnok {

InputBlock::InputBlock(QObject *parent)
    : QObject(parent)
{}

InputBlock::~InputBlock()
{
    if (m_blocking)
        QCoreApplication::instance()->removeEventFilter(this);
}

void InputBlock::begin()
{
    if (m_blocking)
        return;
    m_blocking = true;
    QCoreApplication::instance()->installEventFilter(this);
}

void InputBlock::end()
{
    if (!m_blocking)
        return;
    m_blocking = false;
    QCoreApplication::instance()->removeEventFilter(this);
}

bool InputBlock::discards(const QEvent &event)
{
    switch (event.type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::NativeGesture:
        return true;
    default:
        return false;
    }
}

bool InputBlock::eventFilter(QObject *watched, QEvent *event)
{
    if (m_blocking && discards(*event))
        return true;
    return QObject::eventFilter(watched, event);
}

} // namespace varnok
