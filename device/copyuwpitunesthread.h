#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QThread>

class ProgressForm;

// Copies an iTunes data folder to "marrowquist_itunes/<its name>" under the
// home folder behind a progress window, file by file: files already in the
// copy are kept, hidden entries and symbolic links are skipped. A finished
// copy is marked by an empty file "__CopyUWPItunesThread" at its top, so a
// copy that failed half-way is known as unfinished. The copy runs to its end
// once started (there is no cancel point).
class CopyUWPItunesThread : public QThread
{
    Q_OBJECT
public:
    // cleanFirst deletes every earlier copy (the whole copy root) first.
    CopyUWPItunesThread(QString source, bool cleanFirst, ProgressForm& form, QObject* parent = nullptr);

    // Where the copy of source lands.
    static QDir uwpItunesSaveDir(const QString& source);
    static bool isUWPItunesCopied(const QDir& dir);

    // Copies source into target (created when missing), reporting each file's
    // name; false with the reason in `error` at the first failed file or
    // when target lies inside source.
    bool copyFiles(const QFileInfo& source, const QDir& target, QString& error);

protected:
    void run() override;

private:
    QString m_source;
    bool m_cleanFirst;
    ProgressForm* m_form;
};

// Deletes a folder tree; hidden entries (and the folders holding them) stay,
// links are removed as links and never entered.
void delDirCascade(const QString& path);
