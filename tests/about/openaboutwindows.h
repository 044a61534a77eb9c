#pragma once

#include <QApplication>
#include <QWidget>

// The About windows that are on screen now; the About command must never make a second.
inline QList<QWidget *> openAboutWindows()
{
    QList<QWidget *> open;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QStringLiteral("frmAbout") && widget->isVisible())
            open.append(widget);
    return open;
}
