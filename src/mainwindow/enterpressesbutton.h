#pragma once

#include <QObject>

class QAbstractButton;

namespace varnok {

// Lets Enter and keypad Enter press a focused button, as Space does, without making it a default
// button: Enter in a text box, a list or the pattern box still presses nothing.
class EnterPressesButton final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EnterPressesButton)

public:
    // The filter lives as long as the button.
    static void install(QAbstractButton *button);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit EnterPressesButton(QAbstractButton *button);

    QAbstractButton *m_button;
};

} // namespace varnok
