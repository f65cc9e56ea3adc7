#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// A file that is reported as written only once every byte is on disk: each write is checked,
// then the data is synced and the file's size compared with what was written. Qt's buffered
// files can report success for bytes that a full disk never took; nothing here is buffered
// beyond one chunk of our own.
//
// Replace writes a temporary file beside the target and renames it over the target at commit, so
// the target is the old file or the new one, never half of either. Append adds to the end of the
// target (creating it); a failure cuts the file back to its old length, so it never ends in half
// a line. The folder's entry is synced too. Not copyable; one writer per file.
class DurableFile
{
public:
    enum class Mode {
        Replace,
        Append,
    };

    DurableFile(QString path, Mode mode);
    // Without a successful commit the target stays as it was.
    ~DurableFile();
    DurableFile(const DurableFile &) = delete;
    DurableFile &operator=(const DurableFile &) = delete;

    // False once anything failed; errorString() says what.
    bool write(const QByteArray &bytes);
    bool commit();
    // For the end of the program, which must not wait long for a slow disk: the same, but the
    // syncs run beside and are waited for at most syncWaitMs. True once every byte has been
    // written (the kernel has it, so a kill no longer loses it); synced() tells whether it is on
    // disk as well, so that only a power cut in the next moments could.
    bool commitWithin(int syncWaitMs);
    bool synced() const { return m_synced; }
    // Runs in commit once every byte has been handed to the system and before the syncs: from
    // then on only a power cut could lose them.
    void onWritten(std::function<void()> written) { m_onWritten = std::move(written); }

    // The length of the file before this writer appended to it (0 for Replace).
    qint64 startSize() const { return m_startSize; }
    QString path() const { return m_path; }
    // The system's own text for the first failure ("No space left on device").
    QString errorString() const { return m_error; }

private:
    bool flushBuffer();
    bool writtenWhole();
    bool fail(const char *step);
    void abandon();

    QString m_path;
    QString m_writtenPath;
    Mode m_mode;
    int m_fd = -1;
    qint64 m_startSize = 0;
    qint64 m_written = 0;
    QByteArray m_buffer;
    QString m_error;
    bool m_committed = false;
    bool m_synced = false;
    std::function<void()> m_onWritten;
};

// Removes the files that exist of paths, then syncs their folder once, so that none of them comes
// back after a power cut. The system's text for the first failure, or the empty text.
QString removeDurably(const QStringList &paths);
