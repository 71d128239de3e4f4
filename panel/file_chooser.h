// The platform file dialogs behind one seam, so the view's file operations run without a user.
#pragma once

#include <QString>

class QWidget;

class FileChooser
{
public:
    enum class Kind
    {
        Open,   // an existing file
        Save,   // a file name to write
        Folder, // an existing folder; the filter is not used
    };
    virtual ~FileChooser() = default;
    // The chosen path, or an empty string when the user cancelled.
    virtual QString choose(Kind kind, QWidget *parent, const QString &caption, const QString &startFolder,
                           const QString &filter) = 0;
};

// The toolkit's modal dialogs.
class DialogFileChooser : public FileChooser
{
public:
    QString choose(Kind kind, QWidget *parent, const QString &caption, const QString &startFolder,
                   const QString &filter) override;
};
