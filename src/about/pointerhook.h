#pragma once

#include <QEvent>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QWidget>

#include <functional>

namespace varnok {

// Passes chosen events of a widget to a client while they are attached: here the pointer's
// movements over a picture and its leaving it. Attaching QEvent::MouseMove turns on the
// widget's mouse tracking, so that moves arrive without a button held.
class PointerHook final : public QObject
{
    Q_OBJECT

public:
    using Client = std::function<void(QEvent::Type)>;

    explicit PointerHook(Client client);
    ~PointerHook() override;
    Q_DISABLE_COPY_MOVE(PointerHook)

    void attach(QWidget *widget, QEvent::Type type);
    void detach(QWidget *widget, QEvent::Type type);
    bool isAttached(const QWidget *widget, QEvent::Type type) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Client client_;
    QHash<const QObject *, QSet<QEvent::Type>> attached_;
};

} // namespace varnok
