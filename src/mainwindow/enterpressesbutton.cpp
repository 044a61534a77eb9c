#include "enterpressesbutton.h"

#include <QAbstractButton>
#include <QKeyEvent>

namespace varnok {

EnterPressesButton::EnterPressesButton(QAbstractButton *button)
    : QObject(button)
    , m_button(button)
{
    button->installEventFilter(this);
}

void EnterPressesButton::install(QAbstractButton *button)
{
    new EnterPressesButton(button);
}

bool EnterPressesButton::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_button || event->type() != QEvent::KeyPress)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
        return false;
    // A held key presses once, as with Space.
    if (!key->isAutoRepeat())
        m_button->click();
    return true;
}

} // namespace varnok
