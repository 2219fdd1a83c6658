#include "window/status_log.h"

#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tessary {

namespace {

// A block's user state says what the break in front of it is.
constexpr int kLineStart = -1;  // a line break of the text (Qt's default state)
constexpr int kContinues = 1;   // a display break only: the line goes on
constexpr int kNote = 2;        // the line that tells of dropped text

// Removing at least this many characters gives memory back to the system.
constexpr int kReleaseAfter = 256 * 1024;

// The characters at which QTextCursor::insertText starts a new block; "\r\n"
// together makes one.
bool EndsLine(QChar c) {
    return c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator || c == QChar(0xFDD0) ||
           c == QChar(0xFDD1);
}

// The text to insert, with a display break wherever a line would grow past
// kDisplayLine, and for every block it makes after the first whether it
// continues the line above.
struct DisplayText {
    QString text;
    std::vector<bool> continues{false};
};

DisplayText Cut(const QString &text) {
    constexpr qsizetype kLine = StatusLog::kDisplayLine;
    const QStringView all(text);
    const qsizetype n = all.size();
    DisplayText d;
    d.text.reserve(n + n / kLine + 1);
    for (qsizetype i = 0; i < n;) {
        qsizetype end = i;
        while (end < n && !EndsLine(all[end])) ++end;
        // The line [i, end) in display lines: each ends after the last blank
        // of its last quarter, or else at its full length, but never inside
        // a surrogate pair.
        while (end - i > kLine) {
            qsizetype cut = i + kLine;
            for (qsizetype at = cut; at > i + kLine - kLine / 4; --at) {
                if (all[at - 1] == u' ') {
                    cut = at;
                    break;
                }
            }
            if (cut == i + kLine && all[cut - 1].isHighSurrogate()) --cut;
            d.text.append(all.mid(i, cut - i));
            d.text.append(u'\n');
            d.continues.push_back(true);
            i = cut;
        }
        d.text.append(all.mid(i, end - i));
        i = end;
        if (i < n) {
            const qsizetype breakLength = (all[i] == u'\r' && i + 1 < n && all[i + 1] == u'\n') ? 2 : 1;
            d.text.append(all.mid(i, breakLength));
            d.continues.push_back(false);
            i += breakLength;
        }
    }
    return d;
}

}  // namespace

StatusLog::StatusLog(QWidget *parent) : QPlainTextEdit(parent) {
    setUndoRedoEnabled(false);
    connect(document(), &QTextDocument::contentsChange, this,
            [this](int, int charsRemoved, int) { releaseMemoryAfter(charsRemoved); });
}

void StatusLog::PutOnTop(const QString &text) { keepWithinBound(insertAt(0, text)); }

// Kept to the bound by the next entry on top, which drops from the bottom.
void StatusLog::PutAtBottom(const QString &text) {
    insertAt(document()->characterCount() - 1, QStringLiteral("\r\n") + text);
}

QString StatusLog::Text() const { return textBetween(0, document()->characterCount() - 1); }

qsizetype StatusLog::Size() const { return document()->characterCount() - 1; }

void StatusLog::SetBound(qsizetype characters) {
    bound_ = qMax<qsizetype>(characters, 2 * kDisplayLine);
    keepWithinBound(0);
}

QMimeData *StatusLog::createMimeDataFromSelection() const {
    const QTextCursor cursor = textCursor();
    auto *data = new QMimeData;
    data->setText(textBetween(cursor.selectionStart(), cursor.selectionEnd()));
    return data;
}

// One edit, so that Qt lays out only the lines that come into view, not all
// that were inserted. Returns the position after the inserted text.
int StatusLog::insertAt(int position, const QString &text) {
    if (text.isEmpty()) return position;
    const DisplayText d = Cut(text);
    QTextDocument *const doc = document();
    const QTextBlock front = doc->findBlock(position);
    const int frontNumber = front.blockNumber();
    const int frontState = front.userState();
    const int prefix = position - front.position();

    QTextCursor cursor(doc);
    cursor.setPosition(position);
    cursor.beginEditBlock();
    cursor.insertText(d.text);
    const int end = cursor.position();
    QTextBlock block = doc->findBlockByNumber(frontNumber);
    block.setUserState(frontState);
    for (std::size_t i = 1; i < d.continues.size(); ++i) {
        block = block.next();
        block.setUserState(d.continues[i] ? kContinues : kLineStart);
    }
    // The text's last line runs on into the old text behind it, its first
    // line into the old text in front: either may have grown too long.
    const int lastPart = end - block.position();
    if (lastPart > 0 && block.length() - 1 > kDisplayLine && block.length() - 1 > lastPart) splitAt(cursor, end);
    const QTextBlock first = doc->findBlockByNumber(frontNumber);
    int after = end;
    if (prefix > 0 && first.length() - 1 > kDisplayLine && first.length() - 1 > prefix) {
        splitAt(cursor, position);
        ++after;
    }
    cursor.endEditBlock();
    return after;
}

// A display break at the position, inside one line.
void StatusLog::splitAt(QTextCursor &cursor, int position) {
    const int state = document()->findBlock(position).userState();
    cursor.setPosition(position);
    cursor.insertBlock();
    document()->findBlock(position).setUserState(state);
    cursor.block().setUserState(kContinues);
}

// Beyond the bound the oldest text goes, from the bottom, in whole display
// lines but never the first keep characters (the entry just put on top),
// and one line at the bottom tells how much has gone in all.
void StatusLog::keepWithinBound(int keep) {
    if (Size() <= bound_) return;
    QTextDocument *const doc = document();
    const int end = doc->characterCount() - 1;
    const QTextBlock last = doc->lastBlock();
    const int noteStart = (last.userState() == kNote && last.blockNumber() > 0) ? last.position() - 1 : end;
    constexpr qsizetype kNoteRoom = 160;
    const QTextBlock from = doc->findBlock(static_cast<int>(qMin<qsizetype>(bound_ - kNoteRoom, end)));
    const int cut = qMax(from.position() - 1, keep);
    if (cut >= noteStart) return;
    dropped_ += noteStart - cut;
    const int keptState = doc->findBlock(cut).userState();
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.setPosition(cut);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    doc->findBlock(cut).setUserState(keptState);  // the merged block may carry the last one's
    cursor.insertText(QStringLiteral("\n[%1 older characters of this log dropped; it keeps at most %2.]")
                          .arg(dropped_)
                          .arg(bound_));
    doc->lastBlock().setUserState(kNote);
    cursor.endEditBlock();
}

// Qt's text buffer keeps removed text until it runs out of room (with undo
// off it then compacts itself); a log left empty gets a fresh buffer at
// once. The allocator keeps freed memory unless asked to return it.
void StatusLog::releaseMemoryAfter(int charsRemoved) {
    if (charsRemoved < kReleaseAfter || releasePending_) return;
    releasePending_ = true;
    QTimer::singleShot(0, this, [this] {
        releasePending_ = false;
        if (document()->isEmpty()) clear();
#if defined(__GLIBC__)
        malloc_trim(0);
#endif
    });
}

QString StatusLog::textBetween(int from, int to) const {
    QString out;
    for (QTextBlock block = document()->findBlock(from); block.isValid() && block.position() <= to;
         block = block.next()) {
        if (block.position() > from && block.userState() != kContinues) out += u'\n';
        const int start = qMax(from, block.position()) - block.position();
        const int stop = qMin(to, block.position() + block.length() - 1) - block.position();
        out += QStringView(block.text()).mid(start, stop - start);
    }
    return out;
}

}  // namespace tessary
