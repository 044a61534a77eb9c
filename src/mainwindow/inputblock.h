#pragma once

#include <QObject>

class QEvent;

namespace varnok {

// Drops the user's clicks, keys and other input, in every window, while a command runs: the
// windows go on painting and answering the window system meanwhile, but nothing the user does
// during a run acts, neither then nor once it is over. Which events count is decided in one
// place, discards(), where an exception for a single key would go.
class InputBlock final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(InputBlock)

public:
    explicit InputBlock(QObject *parent = nullptr);
    ~InputBlock() override;

    void begin();
    void end();
    bool isBlocking() const { return m_blocking; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static bool discards(const QEvent &event);

    bool m_blocking = false;
};

} // namespace varnok
