#include "panel/file_chooser.h"

#include <QFileDialog>

QString DialogFileChooser::choose(Kind kind, QWidget *parent, const QString &caption,
                                  const QString &startFolder, const QString &filter)
{
    switch (kind)
    {
    case Kind::Open:
        return QFileDialog::getOpenFileName(parent, caption, startFolder, filter);
    case Kind::Save:
        return QFileDialog::getSaveFileName(parent, caption, startFolder, filter);
    case Kind::Folder:
        return QFileDialog::getExistingDirectory(parent, caption, startFolder);
    }
    return {};
}
