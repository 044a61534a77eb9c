#include "inputblock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QWidget>
#include <QWindow>

namespace varnok {

InputBlock::InputBlock(QWidget *escapeWindow)
    : m_escapeWindow(escapeWindow)
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

// A first press of Escape (a held key repeats) in the escape window. Input from the window
// system reaches the window's QWindow first, and is discarded there before any widget sees it;
// input sent to a widget directly skips the QWindow. Either way one press is seen once.
bool InputBlock::isEscapeFor(const QObject *watched, const QEvent &event) const
{
    if (event.type() != QEvent::KeyPress)
        return false;
    const auto &key = static_cast<const QKeyEvent &>(event);
    if (key.key() != Qt::Key_Escape || key.isAutoRepeat())
        return false;
    if (watched->isWidgetType())
        return static_cast<const QWidget *>(watched)->window() == m_escapeWindow;
    return watched->isWindowType() && watched == m_escapeWindow->windowHandle();
}

bool InputBlock::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_blocking || !discards(*event))
        return QObject::eventFilter(watched, event);
    if (isEscapeFor(watched, *event))
        emit escapePressed();
    return true;
}

} // namespace varnok
