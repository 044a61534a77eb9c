#include "inputhold.h"

#include <QCoreApplication>
#include <QEvent>

namespace varnok {

InputHold::InputHold(QObject *parent)
    : QObject(parent)
{}

InputHold::~InputHold()
{
    if (m_holding)
        QCoreApplication::instance()->removeEventFilter(this);
}

void InputHold::begin()
{
    if (m_holding)
        return;
    m_holding = true;
    QCoreApplication::instance()->installEventFilter(this);
}

void InputHold::end()
{
    if (!m_holding)
        return;
    m_holding = false;
    QCoreApplication::instance()->removeEventFilter(this);
    std::vector<HeldEvent> held;
    held.swap(m_held);
    for (HeldEvent &entry : held) {
        if (entry.receiver)
            QCoreApplication::postEvent(entry.receiver, entry.event.release());
    }
}

bool InputHold::isUserInput(const QEvent &event)
{
    switch (event.type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
        return true;
    default:
        return false;
    }
}

bool InputHold::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_holding || !isUserInput(*event))
        return QObject::eventFilter(watched, event);
    m_held.push_back({watched, std::unique_ptr<QEvent>(event->clone())});
    return true;
}

} // namespace varnok
