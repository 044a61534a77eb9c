#pragma once

#include <QObject>
#include <QPointer>

#include <memory>
#include <vector>

class QEvent;

namespace varnok {

// Holds back the user's clicks and keys while a command runs and hands them on, in their
// order, once it has finished: the windows go on painting meanwhile, but act only on input
// when no command is running. Covers input that reaches the widgets without passing the
// window system's queue as well, which the event passes during a run already leave alone.
class InputHold final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(InputHold)

public:
    explicit InputHold(QObject *parent = nullptr);
    ~InputHold() override;

    void begin();
    // Posts the held input to its receivers, to be handled once control is back in the event
    // loop.
    void end();
    bool isHolding() const { return m_holding; }

    static bool isUserInput(const QEvent &event);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct HeldEvent
    {
        QPointer<QObject> receiver;
        std::unique_ptr<QEvent> event;
    };

    std::vector<HeldEvent> m_held;
    bool m_holding = false;
};

} // namespace varnok
