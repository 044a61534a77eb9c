#include "passwordedit.h"

#include <QApplication>
#include <QProxyStyle>
#include <QStyleFactory>

namespace varnok {

namespace {

// QLineEdit asks its style for the character that stands for each hidden one; the platform
// styles answer with a bullet.
class MaskCharacterStyle final : public QProxyStyle
{
public:
    // A fresh copy of the application's style, so the box looks like its neighbours.
    MaskCharacterStyle()
        : QProxyStyle(QStyleFactory::create(QApplication::style()->name()))
    {}

    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return PasswordEdit::maskCharacter.unicode();
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

PasswordEdit::PasswordEdit(QWidget *parent)
    : QLineEdit(parent)
{
    auto *style = new MaskCharacterStyle;
    // setStyle() does not take ownership.
    style->setParent(this);
    setStyle(style);
    setEchoMode(QLineEdit::Password);
}

} // namespace varnok
