// Finding the controls of a QML scene from a test.
#pragma once

#include <QQuickItem>

// A control by objectName, through the visual tree (a Repeater's items are not QObject children).
inline QObject *control(QQuickItem *item, const QString &name)
{
    if (item->objectName() == name)
        return item;
    for (QQuickItem *child : item->childItems())
        if (QObject *found = control(child, name))
            return found;
    return nullptr;
}
