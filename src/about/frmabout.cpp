#include "frmabout.h"

#include "aboutlayout.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWidget>

namespace varnok {

namespace lay = aboutlayout;

namespace {

constexpr int redrawIntervalMs = 20;
// X11 sends a held key as release/press pairs sharing one time stamp; the press follows the
// release within a fraction of a millisecond, far sooner than a person can press a key again.
constexpr int keyUpGraceMs = 50;

// The visible picture: the background at its top-left corner on a plain light ground.
QImage pictureCanvas(QSize size, const QImage &picture)
{
    QImage canvas(size, QImage::Format_RGB32);
    canvas.fill(QColor(0xf4, 0xf1, 0xea));
    QPainter painter(&canvas);
    painter.drawImage(0, 0, picture);
    return canvas;
}

QRectF twipRect(const lay::TwipRect &twips)
{
    return QRectF(twips.left, twips.top, twips.width, twips.height);
}

QRectF twipsToPixelUnits(const QRectF &twips)
{
    const qreal scale = 1.0 / lay::twipsPerPixel;
    return QRectF(twips.topLeft() * scale, twips.size() * scale);
}

QRect screenGeometry()
{
    const auto *screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

} // namespace

QImage aboutPicture()
{
    return QImage(QStringLiteral(":/varnok/about.jpg"));
}

frmAbout::frmAbout(const QImage &picture)
    : picture_(picture)
    , hook_([this](QEvent::Type type) { hookedEvent(type); })
{}

frmAbout::~frmAbout()
{
    delete window_.data();
}

void frmAbout::Show()
{
    if (!isLoaded()) {
        createControls();
        Form_Load();
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

ScrollerSurfaces frmAbout::surfaces()
{
    return {picOut ? &picOut->surface() : nullptr, &picBackBuffer, &picBuffer};
}

namespace {

// The credits as lines of text, without the blank spacers and rules.
QString creditsText(const CreditScroller &scroller)
{
    QStringList text;
    for (int k = 1; k <= scroller.lineCount; ++k) {
        const QString &line = scroller.lines[k].text;
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('-')))
            text << line;
    }
    return text.join(QLatin1Char('\n'));
}

} // namespace

void frmAbout::createControls()
{
    auto *window = new QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint);
    window->setObjectName(QStringLiteral("frmAbout"));
    window->setWindowTitle(QStringLiteral("<!-- Insert Caption Here -->"));
    window->setAttribute(Qt::WA_DeleteOnClose);

    const QRect outRect = lay::toPixels(lay::picOut);
    picOut = new PictureBox(pictureCanvas(outRect.size(), picture_), window);
    picOut->setObjectName(QStringLiteral("picOut"));
    picOut->setGeometry(outRect);
    picOut->setFocusPolicy(Qt::StrongFocus);

    Command1 = new QPushButton(QStringLiteral("X"), picOut);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(lay::toPixels(lay::Command1));
    Command1->setAutoDefault(false);
    Command1->setAccessibleName(tr("Close"));
    connect(Command1, &QPushButton::clicked, this, &frmAbout::Command1_Click);
    QWidget::setTabOrder(picOut, Command1);

    ReDrawTimer = new QTimer(window);
    ReDrawTimer->setObjectName(QStringLiteral("ReDrawTimer"));
    ReDrawTimer->setTimerType(Qt::PreciseTimer);
    connect(ReDrawTimer, &QTimer::timeout, this, &frmAbout::ReDrawTimer_Timer);

    KeyUpTimer = new QTimer(window);
    KeyUpTimer->setObjectName(QStringLiteral("KeyUpTimer"));
    KeyUpTimer->setSingleShot(true);
    KeyUpTimer->setInterval(keyUpGraceMs);
    connect(KeyUpTimer, &QTimer::timeout, this, [this] { Form_KeyUp(Qt::Key_Escape); });

    picBackBufferRect = twipRect(lay::picBackBuffer);
    picBackBuffer = Surface(lay::toPixels(lay::picBackBuffer).size(), Qt::white);
    picBufferRect = twipRect(lay::picBuffer);

    // The window sees key releases before its controls do.
    for (QObject *watched : {static_cast<QObject *>(window), static_cast<QObject *>(picOut),
                             static_cast<QObject *>(Command1)})
        watched->installEventFilter(this);
    window_ = window;
}

void frmAbout::Form_Load()
{
    hook_.attach(picOut, QEvent::Leave);
    hook_.attach(picOut, QEvent::MouseMove);
    // The pointer can arrive without a move the picture sees: back at the pixel where it left,
    // or straight onto the "X" button, which takes no moves of its own.
    hook_.attach(picOut, QEvent::Enter);

    // Size and centre the window on the screen; the layout is in twips up to here.
    const QRect screen = screenGeometry();
    const auto outWidth = float(lay::picOut.width);
    const auto outHeight = float(lay::picOut.height);
    const float left = (float(screen.width() * lay::twipsPerPixel) - outWidth) / 2.0f;
    const float top = (float(screen.height() * lay::twipsPerPixel) - outHeight) / 2.0f;
    window_->setGeometry(screen.x() + lay::toPixels(left), screen.y() + lay::toPixels(top),
                         lay::toPixels(outWidth), lay::toPixels(outHeight));

    picBufferRect = QRectF(0, 0, picBackBufferRect.width(), picBackBufferRect.height());

    picBufferRect = twipsToPixelUnits(picBufferRect);
    picBackBufferRect = twipsToPixelUnits(picBackBufferRect);

    picBuffer =
        Surface(QSize(roundHalfEven(picBufferRect.width()), roundHalfEven(picBufferRect.height())),
                Qt::white);
    picBuffer.foreColor = Qt::black;
    picBuffer.setFont(creditsFont());

    scroller_.bufHeight = roundHalfEven(picBackBufferRect.height());
    scroller_.bufLeft = roundHalfEven(picBackBufferRect.left());
    scroller_.bufTop = roundHalfEven(picBackBufferRect.top());
    scroller_.bufWidth = roundHalfEven(picBackBufferRect.width());

    // The band's background is captured once; every frame restores it from this copy.
    picBackBuffer.copyFrom(0, 0, scroller_.bufWidth, scroller_.bufHeight, picOut->surface(),
                           scroller_.bufLeft, scroller_.bufTop);

    scroller_.StartFirstPass();
    // Each opening shows the credits once, however often the window has been opened.
    scroller_.ReloadCredits();
    // The picture and the scrolling text are pixels to a screen reader: it reads them here.
    picOut->setAccessibleName(tr("About Varnok"));
    picOut->setAccessibleDescription(creditsText(scroller_));
    // A close during a pause leaves no leave notice pending; the new window starts unpaused.
    tracking = flagFalse;

    picOut->setFocus();
    ReDrawTimer->setInterval(redrawIntervalMs);
    ReDrawTimer->start();
}

void frmAbout::Form_Activate()
{
    scroller_.DrawFrame(surfaces());
}

void frmAbout::ReDrawTimer_Timer()
{
    scroller_.DrawFrame(surfaces());
}

void frmAbout::Form_KeyUp(int key)
{
    if (key != Qt::Key_Escape || !isLoaded())
        return;
    ReDrawTimer->stop();
    Unload();
}

void frmAbout::Command1_Click()
{
    Unload();
}

void frmAbout::Unload()
{
    if (window_)
        window_->close();
}

void frmAbout::Form_QueryUnload()
{
    hook_.detach(picOut, QEvent::Leave);
    hook_.detach(picOut, QEvent::MouseMove);
    hook_.detach(picOut, QEvent::Enter);
}

// The window and its controls go; the window itself is deleted once its close has finished.
void frmAbout::destroyControls()
{
    ReDrawTimer->stop();
    KeyUpTimer->stop();
    window_ = nullptr;
    picOut = nullptr;
    Command1 = nullptr;
    ReDrawTimer = nullptr;
    KeyUpTimer = nullptr;
    picBackBuffer = Surface();
    picBuffer = Surface();
}

void frmAbout::BeginHoverPause()
{
    if (tracking != flagFalse)
        return;
    ReDrawTimer->stop();
    tracking = flagTrue;
}

void frmAbout::EndHoverPause()
{
    tracking = flagFalse;
    ReDrawTimer->start();
}

void frmAbout::hookedEvent(QEvent::Type type)
{
    if (!isLoaded())
        return;
    if (type == QEvent::MouseMove || type == QEvent::Enter)
        BeginHoverPause();
    else if (type == QEvent::Leave)
        EndHoverPause();
}

// Escape closes the window only once it has really been let go. A held key arrives as
// release/press pairs, and the release is marked as a repeat only when the toolkit has already
// seen the press behind it, so an unmarked Escape release waits a moment for that press.
void frmAbout::keyReleased(const QKeyEvent &event)
{
    if (event.isAutoRepeat())
        return;
    if (event.key() == Qt::Key_Escape)
        KeyUpTimer->start();
    else
        Form_KeyUp(event.key());
}

bool frmAbout::eventFilter(QObject *watched, QEvent *event)
{
    if (!isLoaded() || (watched != window_ && watched != picOut && watched != Command1))
        return false;
    switch (event->type()) {
    case QEvent::WindowActivate:
        if (watched == window_)
            Form_Activate();
        break;
    case QEvent::KeyPress:
        // The key is still down: the release before this press was half of an auto-repeat pair.
        if (static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape)
            KeyUpTimer->stop();
        break;
    case QEvent::KeyRelease:
        keyReleased(*static_cast<QKeyEvent *>(event));
        break;
    case QEvent::Close:
        if (watched == window_) {
            Form_QueryUnload();
            destroyControls();
        }
        break;
    default:
        break;
    }
    return false;
}

} // namespace varnok
