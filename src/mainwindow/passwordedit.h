#pragma once

#include <QLineEdit>

namespace varnok {

// The password box: hides what is typed behind one "X" per character and takes at most
// maxLength() characters.
class PasswordEdit final : public QLineEdit
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PasswordEdit)

public:
    explicit PasswordEdit(QWidget *parent = nullptr);

    static constexpr QChar maskCharacter = u'X';
};

} // namespace varnok
