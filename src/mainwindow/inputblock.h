#pragma once

#include <QObject>

class QEvent;
class QWidget;

namespace varnok {

// Drops the user's clicks, keys and other input, in every window, while a command runs: the
// windows go on painting and answering the window system meanwhile, but nothing the user does
// during a run acts, neither then nor once it is over. Which events count is decided in one
// place, discards(). The one input taken is Escape in the escape window, for stopping the run:
// it is reported by escapePressed() and goes no further.
class InputBlock final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(InputBlock)

public:
    explicit InputBlock(QWidget *escapeWindow);
    ~InputBlock() override;

    void begin();
    void end();
    bool isBlocking() const { return m_blocking; }

signals:
    void escapePressed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static bool discards(const QEvent &event);
    bool isEscapeFor(const QObject *watched, const QEvent &event) const;

    QWidget *m_escapeWindow;
    bool m_blocking = false;
};

} // namespace varnok
