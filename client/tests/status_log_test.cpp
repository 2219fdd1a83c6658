// The status log on its own: entries on top and at the bottom give exactly
// the text received, however long its lines; no display line grows past its
// limit; copying leaves the display breaks out; the bound drops the oldest
// text and says so.
#include "window/status_log.h"

#include <QApplication>
#include <QClipboard>
#include <QRandomGenerator>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

namespace tessary {
namespace {

// What a piece shows as: every line end ("\r\n", "\r" or "\n") one "\n".
QString Shown(QString text) {
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
}

qsizetype LongestDisplayLine(const StatusLog &log) {
    qsizetype longest = 0;
    for (QTextBlock block = log.document()->begin(); block.isValid(); block = block.next()) {
        longest = qMax<qsizetype>(longest, block.length() - 1);
    }
    return longest;
}

// Random pieces: runs of letters, some blanks, now and then a line end.
QString Piece(QRandomGenerator &random, int maxLength) {
    static const QString ends[] = {QStringLiteral("\r\n"), QStringLiteral("\n"), QStringLiteral("\r")};
    const int length = random.bounded(maxLength + 1);
    QString piece;
    for (int i = 0; i < length; ++i) {
        const int kind = random.bounded(1000);
        if (kind < 2) {
            piece += ends[random.bounded(3)];
        } else if (kind < 60) {
            piece += u' ';
        } else {
            piece += QChar(u'a' + random.bounded(26));
        }
    }
    return piece;
}

TEST(StatusLogTest, TextStaysExactAndNoDisplayLineGrowsPastItsLimit) {
    StatusLog log;
    log.resize(400, 300);
    QString expected;
    QRandomGenerator random(14);
    for (int step = 0; step < 250; ++step) {
        // Mostly small entries, some long lines of thousands of characters.
        const QString piece = Piece(random, random.bounded(10) == 0 ? 6000 : 40);
        if (random.bounded(8) == 0) {
            log.PutAtBottom(piece);
            expected += u'\n' + Shown(piece);
        } else {
            log.PutOnTop(piece);
            expected = Shown(piece) + expected;
        }
    }
    // One line without a blank, then many small entries run into it.
    const QString line(25000, u'x');
    log.PutOnTop(line);
    expected = line + expected;
    for (int i = 0; i < 1200; ++i) {
        log.PutOnTop(QStringLiteral("ab"));
        expected = QStringLiteral("ab") + expected;
    }
    EXPECT_EQ(log.Text(), expected);
    EXPECT_LE(LongestDisplayLine(log), StatusLog::kDisplayLine);
    EXPECT_GT(log.document()->blockCount(), expected.count(u'\n') + 1) << "long lines are held as display lines";
}

TEST(StatusLogTest, CopyingLeavesTheDisplayBreaksOut) {
    StatusLog log;
    const QString line = QString(3 * StatusLog::kDisplayLine, u'q') + QStringLiteral(" end");
    log.PutOnTop(QStringLiteral("second\r\n"));
    log.PutOnTop(line + QStringLiteral("\r\n"));
    log.selectAll();
    log.copy();
    EXPECT_EQ(QApplication::clipboard()->text(), line + QStringLiteral("\nsecond\n"));

    // A selection that starts and ends inside display lines.
    QTextCursor cursor(log.document());
    cursor.setPosition(StatusLog::kDisplayLine - 2);
    cursor.setPosition(log.document()->characterCount() - 4, QTextCursor::KeepAnchor);
    log.setTextCursor(cursor);
    log.copy();
    const QString all = log.Text();
    EXPECT_EQ(QApplication::clipboard()->text(), all.mid(StatusLog::kDisplayLine - 2, all.size() - 3 - (StatusLog::kDisplayLine - 2)));
}

TEST(StatusLogTest, BeyondItsBoundTheOldestTextGoesAndOneLineSaysSo) {
    StatusLog log;
    log.SetBound(5000);
    EXPECT_EQ(log.Bound(), 5000);
    for (int i = 0; i < 40; ++i) log.PutOnTop(QStringLiteral("entry %1 %2\r\n").arg(i, 3, 10, QLatin1Char('0')).arg(QString(200, u'.')));
    log.PutAtBottom(QStringLiteral("error at the bottom"));
    const QString text = log.Text();
    EXPECT_LE(log.Size(), log.Bound());
    // The newest entries stay whole, on top.
    EXPECT_TRUE(text.startsWith(QStringLiteral("entry 039 "))) << text.left(20).toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("entry 025 ")));
    EXPECT_FALSE(text.contains(QStringLiteral("entry 000 ")));
    // One note where the text was cut, however often it was; the socket error
    // put at the bottom after the last cut stays below it.
    const QStringList lines = text.split(u'\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(text.count(QStringLiteral("older characters of this log dropped")), 1);
    EXPECT_TRUE(lines[lines.size() - 2].contains(QStringLiteral("older characters of this log dropped; it keeps at most 5000")))
        << lines[lines.size() - 2].toStdString();
    EXPECT_EQ(lines.back(), QStringLiteral("error at the bottom"));

    // A single entry larger than the bound is never dropped itself.
    const QString huge(12000, u'h');
    log.PutOnTop(huge);
    EXPECT_TRUE(log.Text().startsWith(huge + u'\n'));
    EXPECT_EQ(log.Text().count(QStringLiteral("older characters of this log dropped")), 1);
}

}  // namespace
}  // namespace tessary
