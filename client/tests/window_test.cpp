// The window under Qt's offscreen platform, with the real library and a real
// peer on loopback: start state, geometry, the resize rule, the message
// sender's bytes, the receive handler and dispatcher, notifications.
#include "window/frm_korvel.h"
#include "window/host_record.h"
#include "window/klient_socket.h"
#include "window/mdl_param.h"
#include "window/status_log.h"
#include "window/window_icon.h"
#include "window_test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QComboBox>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimer>

#include <memory>

namespace tessary {
namespace {

using testing::Head;
using testing::Packet;
using testing::Peer;
using testing::Spin;
using testing::WaitFor;

QString Crlf(QString text) { return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

class WindowTest : public testing::WindowFixture {
protected:
    void SetLog(const QString &text) const { Control<QPlainTextEdit>("txtT")->setPlainText(text); }

    QRect TwipsRect(int left, int top, int width, int height) const {
        return {window_->TwipsToPixelsX(left), window_->TwipsToPixelsY(top), window_->TwipsToPixelsX(width),
                window_->TwipsToPixelsY(height)};
    }

    // Labels size themselves to their caption from the table's left and top.
    void ExpectLabelAt(QLabel *label, int left, int top) const {
        EXPECT_EQ(label->pos(), TwipsRect(left, top, 0, 0).topLeft()) << label->objectName().toStdString();
        EXPECT_EQ(label->size(), label->sizeHint()) << label->objectName().toStdString();
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
    }
};

// ---- Start state -------------------------------------------------------------------------

TEST_F(WindowTest, StartStateOfEveryControl) {
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("Testovací demo klienta distribuovaného řečového rozpoznávače"));
    struct Expected {
        const char *name;
        QString caption;
        QString tip;
        QRect twips;
        bool enabled;
        bool visible;
    };
    const Expected buttons[] = {
        {"cmbConnect", "Připojit", "Connect to selected server.", {2880, 1080, 1335, 615}, true, true},
        {"cmbDisConnect", "Odpojit", "Disconnect server", {2880, 1080, 1335, 615}, true, false},
        {"cmbStart", "Spustit rozpoznávání", "Run for short test (20 seconds)", {120, 1560, 2412, 852}, false, true},
        {"cmbStop", "Stop", "", {2880, 1800, 1335, 615}, false, true},
        {"cmbPing", "Otestování rychlosti spojení se serverem",
         "Ping to server and write time response. Useful to test server connection and network response.",
         {120, 2640, 4092, 375}, false, true},
        {"cmbBest", "Výpis pěti nejpravděpodobněji rozpoznaných slov", "", {120, 3000, 4092, 375}, false, true},
        {"cmbSlov", "Výpis slovníku všech použitých slov", "Get current vocabulary on the server recognizer.",
         {120, 3360, 4092, 375}, false, true},
        {"cmbAddW", "Přidat slovo do slovníku", "Add to server vocabulary", {1560, 3720, 2652, 375}, false, true},
    };
    for (const Expected &e : buttons) {
        QPushButton *b = Button(e.name);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->text(), e.caption) << e.name;
        EXPECT_EQ(b->toolTip(), e.tip) << e.name;
        EXPECT_EQ(b->geometry(), TwipsRect(e.twips.x(), e.twips.y(), e.twips.width(), e.twips.height())) << e.name;
        EXPECT_EQ(b->isEnabled(), e.enabled) << e.name;
        EXPECT_EQ(b->isVisible(), e.visible) << e.name;
    }

    auto *host = Control<QComboBox>("cboHost");
    EXPECT_TRUE(host->isEditable());
    EXPECT_EQ(host->currentText(), FrmKorvel::DefaultHost());
    ASSERT_EQ(host->count(), 1);
    EXPECT_EQ(host->itemText(0), host->currentText());
    EXPECT_EQ(host->geometry(), TwipsRect(1200, 600, 3012, 288));

    auto *port = Control<QLineEdit>("txtRemotePort");
    EXPECT_EQ(port->text(), QStringLiteral("105"));
    EXPECT_EQ(port->toolTip(), QStringLiteral("Server port"));
    EXPECT_EQ(port->geometry(), TwipsRect(1200, 1080, 735, 315));
    auto *word = Control<QLineEdit>("txtAddWord");
    EXPECT_EQ(word->text(), QStringLiteral("chaloupka"));
    EXPECT_EQ(word->toolTip(), QStringLiteral("Write word you want to add in vocabulary"));
    EXPECT_EQ(word->geometry(), TwipsRect(120, 3720, 1455, 405));

    auto *clock = Control<QLabel>("lblConnected");
    EXPECT_EQ(clock->text(), QStringLiteral("000"));
    EXPECT_EQ(clock->toolTip(), QStringLiteral("Connection status"));
    ExpectLabelAt(clock, 3720, 240);
    auto *label2 = Control<QLabel>("Label2");
    EXPECT_EQ(label2->text(), QStringLiteral("Vstupní port:"));
    ExpectLabelAt(label2, 120, 1080);
    QLabel *label1[2] = {nullptr, nullptr};
    for (QLabel *l : window_->findChildren<QLabel *>(QStringLiteral("Label1"))) {
        label1[l->property("index").toInt()] = l;
    }
    ASSERT_TRUE(label1[0] && label1[1]);
    EXPECT_EQ(label1[0]->text(), QStringLiteral("Rozpoznávací server :"));
    ExpectLabelAt(label1[0], 120, 240);
    EXPECT_EQ(label1[1]->text(), QStringLiteral("Stavová hlášení a zprávy rozpoznávače:"));
    ExpectLabelAt(label1[1], 4440, 360);

    auto *log = Control<QPlainTextEdit>("txtT");
    EXPECT_TRUE(log->isEnabled());
    EXPECT_TRUE(log->toPlainText().isEmpty());
    EXPECT_EQ(log->geometry(), TwipsRect(4440, 600, 4092, 3495));
    auto *info = Control<QPlainTextEdit>("txtInfo");
    EXPECT_FALSE(info->isEnabled());
    EXPECT_EQ(info->geometry(), TwipsRect(120, 4800, 4092, 1932));
    EXPECT_GT(info->y(), window_->height());  // out of view at the design size

    // The only operable controls at start.
    QStringList operable;
    for (QWidget *w : window_->findChildren<QWidget *>()) {
        if (w->parentWidget() == window_.get() && w->isEnabled() && w->isVisible() &&
            w->focusPolicy() != Qt::NoFocus) {
            operable << w->objectName();
        }
    }
    operable.sort();
    EXPECT_EQ(operable, (QStringList{"cboHost", "cmbConnect", "txtAddWord", "txtRemotePort", "txtT"}));
    EXPECT_FALSE(window_->WasConnected());
    EXPECT_EQ(window_->BufData().size(), 11u);
}

TEST_F(WindowTest, DesignSizeFontsAndAboutText) {
    EXPECT_EQ(window_->size(), QSize(584, 287));  // 8760 x 4308 twips at 96 dpi
    const auto font = [&](const char *name) { return window_->findChild<QWidget *>(QString::fromLatin1(name))->font(); };
    for (const char *name : {"cmbConnect", "cmbDisConnect", "lblConnected"}) {
        EXPECT_EQ(font(name).pointSizeF(), 12.0) << name;
        EXPECT_TRUE(font(name).bold()) << name;
    }
    for (const char *name : {"cmbStart", "cmbStop"}) {
        EXPECT_DOUBLE_EQ(font(name).pointSizeF(), 13.8) << name;
        EXPECT_TRUE(font(name).bold()) << name;
    }
    EXPECT_EQ(font("txtInfo").pointSizeF(), 12.0);
    EXPECT_FALSE(font("txtInfo").bold());
    EXPECT_EQ(font("cmbPing"), window_->font());
    EXPECT_EQ(window_->font().pointSizeF(), 8.0);

    const QString about = FrmKorvel::AboutText();
    const QStringList lines = about.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 7);  // six lines, each ended by CR LF
    EXPECT_TRUE(lines[6].isEmpty());
    EXPECT_EQ(lines[1], QString(30, QLatin1Char('_')));
    EXPECT_EQ(lines[4], QString(30, QLatin1Char('_')));
    EXPECT_TRUE(lines[3].endsWith(QLatin1Char('"')));
    EXPECT_EQ(lines[3].count(QLatin1Char('"')), 2);
    EXPECT_TRUE(lines[5].startsWith(QStringLiteral("https://")));
    EXPECT_EQ(Crlf(about), Control<QPlainTextEdit>("txtInfo")->toPlainText());
}

// The command buttons are one line high: their captions must fit on one line
// in the window's face, or they wrap and are cut off.
TEST_F(WindowTest, CommandCaptionsFitOnOneLine) {
    for (const char *name : {"cmbPing", "cmbBest", "cmbSlov", "cmbAddW"}) {
        QPushButton *button = Button(name);
        QStyleOptionButton option;
        option.initFrom(button);
        const QRect area = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()), area.width())
            << name << " in " << QFontInfo(button->font()).family().toStdString();
    }
}

TEST_F(WindowTest, IconShowsWordsBetweenRedAndBlueStripes) {
    const QImage icon = MakeWindowPixmap().toImage();
    ASSERT_EQ(icon.size(), QSize(32, 32));
    EXPECT_EQ(QColor(icon.pixel(16, 1)), QColor(Qt::red));
    EXPECT_EQ(QColor(icon.pixel(16, 30)), QColor(Qt::blue));
    int black = 0;
    int white = 0;
    for (int y = 6; y < 26; ++y) {
        for (int x = 0; x < 32; ++x) {
            const QColor c(icon.pixel(x, y));
            black += c == QColor(Qt::black);
            white += c == QColor(Qt::white);
        }
    }
    EXPECT_GT(black, 20);  // the two words
    EXPECT_GT(white, 300);
    EXPECT_FALSE(window_->windowIcon().isNull());
}

TEST_F(WindowTest, TabOrderFollowsTheTable) {
    Button("cmbConnect")->setFocus();
    ASSERT_TRUE(WaitFor([&] { return Button("cmbConnect")->hasFocus(); }));
    // The chain of focusable controls, from the first in the tab order.
    QStringList chain;
    QWidget *w = Button("cmbConnect");
    for (int i = 0; i < 40; ++i) {
        if (w->focusPolicy() & Qt::TabFocus) chain << w->objectName();
        w = w->nextInFocusChain();
        if (w == Button("cmbConnect")) break;
    }
    chain.removeAll(QString());
    // The inner widgets of the combo box carry no name of their own.
    EXPECT_EQ(chain.mid(0, 11), (QStringList{"cmbConnect", "cmbDisConnect", "cmbStart", "cmbStop", "cmbPing",
                                             "cmbBest", "cmbSlov", "cmbAddW", "txtAddWord", "cboHost", "txtT"}));
    EXPECT_EQ(chain.indexOf(QStringLiteral("txtRemotePort")), chain.indexOf(QStringLiteral("txtT")) + 1);
    EXPECT_GT(chain.indexOf(QStringLiteral("txtInfo")), chain.indexOf(QStringLiteral("txtRemotePort")));
    EXPECT_TRUE(Button("cmbConnect")->hasFocus());
}

// ---- Resize rule ---------------------------------------------------------------------------------

TEST_F(WindowTest, LogFollowsTheWindowOnlyAboveTheDesignSize) {
    auto *log = Control<QPlainTextEdit>("txtT");
    const QRect design = log->geometry();
    // The frame in pixels as the window system reports it, or the design frame.
    QSize frame = window_->frameGeometry().size() - window_->size();
    if (frame.isEmpty()) frame = QSize(window_->TwipsToPixelsX(96), window_->TwipsToPixelsY(384));
    // Client sizes (pixels) that give an outer size just at and just above the thresholds.
    const auto clientWidthForOuter = [&](double twips) { return static_cast<int>(twips / 15.0) - frame.width(); };
    const auto clientHeightForOuter = [&](double twips) { return static_cast<int>(twips / 15.0) - frame.height(); };
    const int atWidth = clientWidthForOuter(8856);    // 590 px outer: 8850 twips, not above
    const int atHeight = clientHeightForOuter(4692);  // 312 px outer: 4680 twips

    const auto resizeTo = [&](int w, int h) {
        window_->resize(w, h);
        ASSERT_TRUE(WaitFor([&] { return window_->size() == QSize(w, h); }));
        Spin(10);
    };

    resizeTo(atWidth, atHeight);
    EXPECT_EQ(log->geometry(), design);

    // One pixel wider: width follows, height untouched.
    resizeTo(atWidth + 1, atHeight);
    EXPECT_EQ(log->width(), window_->TwipsToPixelsX((atWidth + 1) * 15 - 4668));
    EXPECT_EQ(log->height(), design.height());

    // Larger both ways: both follow and end 228 twips before the edges.
    resizeTo(900, 600);
    EXPECT_EQ(log->width(), window_->TwipsToPixelsX(900 * 15 - 4440 - 228));
    EXPECT_EQ(log->height(), window_->TwipsToPixelsY(600 * 15 - 600 - 228));
    EXPECT_EQ(log->pos(), design.topLeft());
    const QSize large = log->size();

    // Back to the thresholds: the log keeps the size it had.
    resizeTo(atWidth, atHeight);
    EXPECT_EQ(log->size(), large);
    resizeTo(400, 200);
    EXPECT_EQ(log->size(), large);

    // Only the height above its threshold.
    resizeTo(atWidth, atHeight + 1);
    EXPECT_EQ(log->width(), large.width());
    EXPECT_EQ(log->height(), window_->TwipsToPixelsY((atHeight + 1) * 15 - 828));

    // No other control moves.
    EXPECT_EQ(Button("cmbConnect")->geometry(), TwipsRect(2880, 1080, 1335, 615));
    EXPECT_EQ(Control<QPlainTextEdit>("txtInfo")->geometry(), TwipsRect(120, 4800, 4092, 1932));
}

TEST_F(WindowTest, MinimisingChangesNothing) {
    auto *log = Control<QPlainTextEdit>("txtT");
    window_->resize(800, 500);
    Spin(20);
    const QRect before = log->geometry();
    window_->showMinimized();
    Spin(50);
    window_->showNormal();
    Spin(50);
    EXPECT_EQ(log->geometry(), before);
}

// ---- Message sender --------------------------------------------------------------------------------

TEST_F(WindowTest, SendMsgPutsExactlyOnePacketOnTheConnection) {
    Peer peer;
    // Not connected: nothing is sent, whatever the arguments.
    window_->SendMSG(QStringLiteral("UMSG"), QStringLiteral("lost"), true, 3);
    ConnectTo(peer);
    window_->SendMSG(QStringLiteral("GETV"), QString(), false, 0);
    window_->SendMSG(QStringLiteral("REST"), QString(), true, 0);
    window_->SendMSG(QStringLiteral("PING"), QStringLiteral("123456"), false, 0);
    window_->SendMSG(QStringLiteral("OSVF"), QStringLiteral("demo"), false, 1);
    window_->SendMSG(QStringLiteral("UMSG"), QStringLiteral("a\r\n"), true, -7);
    window_->SendMSG(QStringLiteral("ADDW"), QStringLiteral("řeč"), false, 0);
    window_->SendMSG(QStringLiteral("LONGTYPE"), QStringLiteral("x"), false, 0);
    window_->SendMSG(QStringLiteral("AB"), QString(), false, 0);
    const QByteArray expected = Packet("GETV", 0, "") + Packet("REST", 0, "\r\n") + Packet("PING", 0, "123456") +
                                Packet("OSVF", 1, "demo") + Packet("UMSG", -7, "a\r\n\r\n") +
                                Packet("ADDW", 0, "\xF8\x65\xE8") + Packet("LONG", 0, "x") + Packet("AB  ", 0, "");
    ASSERT_TRUE(peer.WaitForBytes(expected.size()));
    Spin(30);
    EXPECT_EQ(peer.Received(), expected);
}

// ---- Receive handler and dispatcher -------------------------------------------------------------

TEST_F(WindowTest, DispatcherActsInStreamOrder) {
    Peer peer;
    ConnectTo(peer);
    SetLog(QStringLiteral("xyz"));
    // All in one chunk, then again cut into single bytes.
    const QByteArray stream = Packet("UMSG", 0, "abc") + Packet("UMSG", 0, "") + Packet("DMSG", 1, "hidden") +
                              Packet("DMSG", -1, "shown\r\n") + Packet("umsg", 0, "ignored") +
                              Packet("NEWS", 4, "news \xE1\r\n") + Packet("PING", 7, "\x81\x83\x88\x90\x98") +
                              Packet("PING", 2, "") + Packet("WOUT", 0, "");
    peer.Send(stream);
    const QByteArray answers = Packet("OSVF", 1, "demo") + Packet("PONG", 0, "\x81\x83\x88\x90\x98") +
                               Packet("PONG", 0, "");
    ASSERT_TRUE(peer.WaitForBytes(answers.size()));
    Spin(30);
    EXPECT_EQ(peer.Received(), answers);
    EXPECT_EQ(Log(), Crlf(QStringLiteral("news á\r\nshown\r\nabcxyz")));
    EXPECT_EQ(window_->Reassembly().Rest().nRestB, -1);

    peer.ClearReceived();
    SetLog(QString());
    for (char byte : stream) {
        peer.Send(QByteArray(1, byte));
        Spin(1);
    }
    ASSERT_TRUE(peer.WaitForBytes(answers.size()));
    Spin(30);
    EXPECT_EQ(peer.Received(), answers);
    EXPECT_EQ(Log(), Crlf(QStringLiteral("news á\r\nshown\r\nabc")));
}

TEST_F(WindowTest, PongLogsTheRoundTrip) {
    Peer peer;
    ConnectTo(peer);
    SetLog(QStringLiteral("old"));
    const int32_t sent = mdlParam::GetTickCount() - 15;
    peer.Send(Packet("PONG", 0, QByteArray::number(sent)));
    ASSERT_TRUE(WaitFor([&] { return Log() != QStringLiteral("old"); }));
    const int32_t elapsed = mdlParam::GetTickCount() - sent;
    const QRegularExpression line(QStringLiteral("^NET RESPONSE> (\\d+)ms\\.\nold$"));
    const auto match = line.match(Log());
    ASSERT_TRUE(match.hasMatch()) << Log().toStdString();
    EXPECT_GE(match.captured(1).toInt(), 15);
    EXPECT_LE(match.captured(1).toInt(), elapsed);
}

TEST_F(WindowTest, BadLengthIsLoggedAtTheBottomAndClosesTheConnection) {
    Peer peer;
    ConnectTo(peer);
    SetLog(QStringLiteral("earlier"));
    peer.Send(Packet("UMSG", 0, "before ") + Head("UMSG", 0, -4) + QByteArray("junk"));
    ASSERT_TRUE(WaitFor([&] { return State() == KlientSocket::kClosed; }));
    const QString log = Log();
    EXPECT_TRUE(log.startsWith(QStringLiteral("before earlier\n"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("length -4"))) << log.toStdString();
    EXPECT_TRUE(WaitFor([&] { return peer.Disconnects() == 1; }));
}

// Regression: a packet cut short by a lost connection stood in front of the
// next connection's first bytes.
TEST_F(WindowTest, NewConnectionStartsWithoutTheOldLeftover) {
    Peer peer;
    ConnectTo(peer);
    peer.Send(Packet("UMSG", 0, "never complete").left(20));
    ASSERT_TRUE(WaitFor([&] { return window_->Reassembly().Rest().nRestB == 20; }));
    ConnectTo(peer);  // the connect action drops the old socket and its leftover
    ASSERT_TRUE(WaitFor([&] { return peer.Connections() == 2; }));
    SetLog(QString());
    peer.Send(Packet("UMSG", 0, "fresh"));
    ASSERT_TRUE(WaitFor([&] { return !Log().isEmpty(); }));
    EXPECT_EQ(Log(), QStringLiteral("fresh"));
}

// Regression: every entry rebuilt the whole log, and one line of 128 KiB froze
// the window for seconds, again at every later message; 8 MiB never ended.
TEST_F(WindowTest, LongSingleLineMessageLeavesTheWindowAnswering) {
    Peer peer;
    ConnectTo(peer);
    auto *log = Control<StatusLog>("txtT");
    log->PutOnTop(QStringLiteral("older\r\n"));
    // Sends one "UMSG" and a "PING" behind it; the time until the window has
    // answered and painted the log.
    const auto answered = [&](const QByteArray &text, const QByteArray &ping) {
        QElapsedTimer timer;
        timer.start();
        peer.Send(Packet("UMSG", 0, text) + Packet("PING", 0, ping));
        const QByteArray pong = Packet("PONG", 0, ping);
        EXPECT_TRUE(WaitFor([&] { return peer.Received().contains(pong); }, 60000));
        log->viewport()->repaint();
        return timer.elapsed();
    };
    QByteArray line(8 * 1024 * 1024, 'a');
    for (qsizetype i = 0; i < line.size(); ++i) line[i] = static_cast<char>('a' + (i * 7) % 26);
    // Generous bounds against a freeze (about 0.2 s and 5 ms here, released).
    EXPECT_LT(answered(line, "1"), 20000);
    EXPECT_LT(answered("hello!", "2"), 3000);
    EXPECT_TRUE(log->Text() == QStringLiteral("hello!") + QString::fromLatin1(line) + QStringLiteral("older\n"))
        << "the text shown is the text received";
}

// ---- Notifications -------------------------------------------------------------------------------------

TEST_F(WindowTest, NotificationReachesTheHandlerWhateverHasTheFocusAndKeysNeverDo) {
    Control<QLineEdit>("txtAddWord")->setFocus();
    Button("cmbStop")->setEnabled(true);
    Button("cmbStart")->setEnabled(false);
    // A real key press with the same code is only a key press.
    QKeyEvent key(QEvent::KeyPress, VANTREL_NOTIFY_END, Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &key);
    QKeyEvent keyInBox(QEvent::KeyPress, VANTREL_NOTIFY_END, Qt::NoModifier);
    QApplication::sendEvent(Control<QLineEdit>("txtAddWord"), &keyInBox);
    Spin(20);
    EXPECT_TRUE(Log().isEmpty());
    EXPECT_TRUE(Button("cmbStop")->isEnabled());

    // A posted end of capture runs the stop action.
    QCoreApplication::postEvent(window_.get(), new NotificationEvent(VANTREL_NOTIFY_END));
    ASSERT_TRUE(WaitFor([&] { return !Log().isEmpty(); }));
    EXPECT_EQ(Log(), QStringLiteral("0\n"));  // StopRecord's result
    EXPECT_TRUE(Button("cmbStart")->isEnabled());
    EXPECT_FALSE(Button("cmbStop")->isEnabled());
}

TEST_F(WindowTest, NotificationsArriveInTheOrderPosted) {
    // Data notifications with nothing waiting change nothing; the end codes each
    // run a stop action, in order, between them.
    for (int code : {550, 552, 550, 553, 9999}) {
        QCoreApplication::postEvent(window_.get(), new NotificationEvent(code));
    }
    Spin(50);
    EXPECT_EQ(Log(), QStringLiteral("0\n0\n"));
    EXPECT_EQ(window_->BufData().size(), 11u);  // no drain found anything
}

}  // namespace
}  // namespace tessary
