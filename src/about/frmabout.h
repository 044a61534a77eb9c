#pragma once

#include "creditscroller.h"
#include "picturebox.h"
#include "pointerhook.h"
#include "surface.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRectF>

class QKeyEvent;
class QPushButton;
class QTimer;
class QWidget;

namespace varnok {

// The About window: a borderless picture with the credits scrolling through a band of it,
// pausing while the pointer moves over the picture, closed with its "X" button or Escape.
//
// This object lives for the whole run and keeps the credits and the pause flag; its window and
// controls are created by each load and destroyed by each close.
class frmAbout final : public QObject
{
    Q_OBJECT

public:
    // picture is shown unscaled at the top-left corner; a null picture leaves a plain light
    // area.
    explicit frmAbout(const QImage &picture);
    ~frmAbout() override;
    Q_DISABLE_COPY_MOVE(frmAbout)

    // Shows the window modeless and without an owner, loading it first when it is not loaded;
    // an open window is brought to the front instead of a second one.
    void Show();

    bool isLoaded() const { return !window_.isNull(); }
    // The window while it is loaded, otherwise null.
    QWidget *window() const { return window_.data(); }

    const CreditScroller &scroller() const { return scroller_; }
    CreditScroller &scroller() { return scroller_; }
    bool isTracking() const { return tracking != flagFalse; }
    // The surfaces frames pass through while the window is loaded; for measuring a frame.
    ScrollerSurfaces surfaces();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createControls();
    void Form_Load();
    void Form_Activate();
    void ReDrawTimer_Timer();
    void Form_KeyUp(int key);
    void Command1_Click();
    void Form_QueryUnload();
    void Unload();
    void destroyControls();
    void BeginHoverPause();
    void EndHoverPause();
    void hookedEvent(QEvent::Type type);
    void keyReleased(const QKeyEvent &event);

    const QImage picture_;
    qint16 tracking = flagFalse;
    CreditScroller scroller_;
    PointerHook hook_;

    QPointer<QWidget> window_;
    PictureBox *picOut = nullptr;
    QPushButton *Command1 = nullptr;
    QTimer *ReDrawTimer = nullptr;
    // Holds back the Escape release until no press of the key follows it at once.
    QTimer *KeyUpTimer = nullptr;
    // The two off-screen surfaces and their geometry, in twips until the load switches to
    // pixels.
    Surface picBackBuffer;
    QRectF picBackBufferRect;
    Surface picBuffer;
    QRectF picBufferRect;
};

// The About window's background picture from the program's resources; null when missing.
QImage aboutPicture();

} // namespace varnok
