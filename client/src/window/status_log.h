// txtT: the status log. New entries go on top, socket errors at the bottom,
// each by inserting at that end of the document, so that an entry costs time
// in proportion to itself, not to the log.
//
// Qt lays out a paragraph as a whole, and the time grows faster than its
// length: one line of a million characters takes seconds. So a line longer
// than kDisplayLine characters is held as several display lines, each
// marked as the continuation of the one above; only what is on screen is
// ever laid out. The marks keep the text exact: Text() and copying leave the
// display breaks out. A display line breaks after a blank where one lies near
// its end, so a line with blanks looks as it would wrapped.
//
// The log holds at most its bound of characters (kDefaultBound, twice the
// largest message the server can send, so a message just received and the
// text received just before it always stay). Beyond it the oldest text, at
// the bottom, is dropped (socket errors there go with it) and one line at
// the bottom says how much. The undo
// history is off: it would keep every entry ever shown; memory given back by
// clearing the log is returned to the system.
#pragma once

#include "packet/packet.h"

#include <QPlainTextEdit>
#include <QString>

class QMimeData;
class QTextCursor;

namespace tessary {

class StatusLog : public QPlainTextEdit {
    Q_OBJECT

public:
    static constexpr int kDisplayLine = 1000;
    static constexpr qsizetype kDefaultBound = 2 * qsizetype{packet::kMaxPayload};

    explicit StatusLog(QWidget *parent = nullptr);

    // Puts the text in front of the log's text, with no separator.
    void PutOnTop(const QString &text);
    // Puts a line break, then the text, after the log's text.
    void PutAtBottom(const QString &text);

    // The log's text as received, line breaks as "\n".
    QString Text() const;
    // Characters held, every line break (display breaks too) counted as one.
    qsizetype Size() const;

    // The most characters kept; never below twice kDisplayLine.
    void SetBound(qsizetype characters);
    qsizetype Bound() const { return bound_; }

protected:
    QMimeData *createMimeDataFromSelection() const override;

private:
    int insertAt(int position, const QString &text);
    void splitAt(QTextCursor &cursor, int position);
    void keepWithinBound(int keep);
    void releaseMemoryAfter(int charsRemoved);
    QString textBetween(int from, int to) const;

    qsizetype bound_ = kDefaultBound;
    qsizetype dropped_ = 0;  // characters dropped so far, as the note says
    bool releasePending_ = false;
};

}  // namespace tessary
