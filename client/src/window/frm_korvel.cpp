#include "window/frm_korvel.h"

#include "packet/code_page.h"
#include "packet/dispatch.h"
#include "packet/drain.h"
#include "packet/message_types.h"
#include "packet/packet.h"
#include "window/box_numbers.h"
#include "window/caption_button.h"
#include "window/klient_socket.h"
#include "window/mdl_param.h"
#include "window/status_log.h"
#include "window/window_icon.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTime>
#include <QTimer>

#include <cmath>
#include <string>

namespace tessary {

namespace M = mdlMSGConst;

namespace {

// The window was laid out for MS Sans Serif, a narrow face. Where it is
// missing, faces of about its width come first; the common sans serif of the
// system, usually wider, comes last.
void SubstituteNarrowFaces() {
    static const bool done = [] {
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                   {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
                                    QStringLiteral("Arimo"), QStringLiteral("Arial"), QStringLiteral("Nimbus Sans"),
                                    QStringLiteral("Helvetica")});
        return true;
    }();
    (void)done;
}

QFont SansSerif(double pointSize, bool bold) {
    SubstituteNarrowFaces();
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

QString TypeText(std::string_view type) { return QString::fromLatin1(type.data(), static_cast<qsizetype>(type.size())); }

// Text from the wire (Windows-1250) as the window shows it.
QString WireText(std::span<const uint8_t> bytes) {
    const std::string utf8 = Cp1250ToUtf8(bytes);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// The local time of day in the user's regional format, hours to seconds.
QString ClockText() {
    const QLocale locale = QLocale::system();
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));  // no time zone
    return locale.toString(QTime::currentTime(), format.trimmed());
}

}  // namespace

FrmKorvel::FrmKorvel(QWidget *parent) : QWidget(parent), host_(this) {
    setObjectName(QStringLiteral("frmKorvel"));
    setWindowTitle(QStringLiteral("Testovací demo klienta distribuovaného řečového rozpoznávače"));
    setWindowIcon(MakeWindowIcon());
    // The standard font of the window: 8 points, which its layout was made for.
    setFont(SansSerif(8, false));
    createControls();
    resize(TwipsToPixelsX(kDesignClientWidth), TwipsToPixelsY(kDesignClientHeight));

    connect(cmbConnect_, &QPushButton::clicked, this, &FrmKorvel::connectToServer);
    connect(cmbDisConnect_, &QPushButton::clicked, this, &FrmKorvel::disconnectFromServer);
    connect(cmbStart_, &QPushButton::clicked, this, &FrmKorvel::startRecognition);
    connect(cmbStop_, &QPushButton::clicked, this, &FrmKorvel::stopRecognition);
    connect(cmbPing_, &QPushButton::clicked, this, &FrmKorvel::pingServer);
    connect(cmbSlov_, &QPushButton::clicked, this, &FrmKorvel::requestVocabulary);
    connect(cmbBest_, &QPushButton::clicked, this, &FrmKorvel::requestBestWords);
    connect(cmbAddW_, &QPushButton::clicked, this, &FrmKorvel::addWord);
    connect(tmrConnected_, &QTimer::timeout, this, &FrmKorvel::updateConnectionStatus);
    connect(wKlient_, &KlientSocket::DataArrival, this, &FrmKorvel::receiveData);
    connect(wKlient_, &KlientSocket::Error, this, &FrmKorvel::logSocketError);
    tmrConnected_->start();
}

FrmKorvel::~FrmKorvel() { unload(); }

QString FrmKorvel::DefaultHost() { return QStringLiteral("localhost"); }

QString FrmKorvel::AboutText() {
    const QString rule(30, QLatin1Char('_'));
    return QStringLiteral("Tessary Open Speech Workshop\r\n") + rule + QStringLiteral("\r\n") +
           QStringLiteral("Workshop for Speech Analysis\r\n") +
           QStringLiteral("and Distributed Recognition \"WSADR\"\r\n") + rule + QStringLiteral("\r\n") +
           QStringLiteral("https://tessary.example.org/\r\n");
}

int FrmKorvel::TwipsToPixelsX(int twips) const { return qRound(twips * logicalDpiX() / 1440.0); }
int FrmKorvel::TwipsToPixelsY(int twips) const { return qRound(twips * logicalDpiY() / 1440.0); }
double FrmKorvel::PixelsToTwipsX(int pixels) const { return pixels * 1440.0 / logicalDpiX(); }
double FrmKorvel::PixelsToTwipsY(int pixels) const { return pixels * 1440.0 / logicalDpiY(); }

void FrmKorvel::place(QWidget *control, int left, int top, int width, int height) {
    control->setGeometry(TwipsToPixelsX(left), TwipsToPixelsY(top), TwipsToPixelsX(width),
                         TwipsToPixelsY(height));
}

void FrmKorvel::createControls() {
    // Labels size themselves to their caption from their left and top.
    const auto label = [this](const char *name, const QString &caption) {
        auto *l = new QLabel(caption, this);
        l->setObjectName(QString::fromLatin1(name));
        l->setFocusPolicy(Qt::NoFocus);
        return l;
    };
    const auto placeLabel = [this](QLabel *l, int left, int top, int width, int height) {
        place(l, left, top, width, height);
        l->adjustSize();
    };
    const auto button = [this](const char *name, const QString &caption, const QString &tip) {
        auto *b = new CaptionButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setToolTip(tip);
        b->setAutoDefault(false);
        return b;
    };

    label1_0_ = label("Label1", QStringLiteral("Rozpoznávací server :"));
    label1_0_->setProperty("index", 0);
    placeLabel(label1_0_, 120, 240, 1605, 195);

    lblConnected_ = label("lblConnected", QStringLiteral("000"));
    lblConnected_->setToolTip(QStringLiteral("Connection status"));
    lblConnected_->setFont(SansSerif(12, true));
    placeLabel(lblConnected_, 3720, 240, 468, 300);

    cboHost_ = new QComboBox(this);
    cboHost_->setObjectName(QStringLiteral("cboHost"));
    cboHost_->setEditable(true);
    cboHost_->setInsertPolicy(QComboBox::NoInsert);
    cboHost_->setEditText(DefaultHost());
    place(cboHost_, 1200, 600, 3012, 288);

    label2_ = label("Label2", QStringLiteral("Vstupní port:"));
    placeLabel(label2_, 120, 1080, 900, 195);

    txtRemotePort_ = new QLineEdit(QStringLiteral("105"), this);
    txtRemotePort_->setObjectName(QStringLiteral("txtRemotePort"));
    txtRemotePort_->setToolTip(QStringLiteral("Server port"));
    place(txtRemotePort_, 1200, 1080, 735, 315);

    cmbConnect_ = button("cmbConnect", QStringLiteral("Připojit"), QStringLiteral("Connect to selected server."));
    cmbConnect_->setFont(SansSerif(12, true));
    place(cmbConnect_, 2880, 1080, 1335, 615);

    // Lies over cmbConnect, in the same rectangle.
    cmbDisConnect_ = button("cmbDisConnect", QStringLiteral("Odpojit"), QStringLiteral("Disconnect server"));
    cmbDisConnect_->setFont(SansSerif(12, true));
    place(cmbDisConnect_, 2880, 1080, 1335, 615);
    cmbDisConnect_->hide();

    cmbStart_ = button("cmbStart", QStringLiteral("Spustit rozpoznávání"),
                       QStringLiteral("Run for short test (20 seconds)"));
    cmbStart_->setFont(SansSerif(13.8, true));
    place(cmbStart_, 120, 1560, 2412, 852);
    cmbStart_->setEnabled(false);

    cmbStop_ = button("cmbStop", QStringLiteral("Stop"), QString());
    cmbStop_->setFont(SansSerif(13.8, true));
    place(cmbStop_, 2880, 1800, 1335, 615);
    cmbStop_->setEnabled(false);

    cmbPing_ = button("cmbPing", QStringLiteral("Otestování rychlosti spojení se serverem"),
                      QStringLiteral("Ping to server and write time response. Useful to test server "
                                     "connection and network response."));
    place(cmbPing_, 120, 2640, 4092, 375);
    cmbPing_->setEnabled(false);

    cmbBest_ = button("cmbBest", QStringLiteral("Výpis pěti nejpravděpodobněji rozpoznaných slov"), QString());
    place(cmbBest_, 120, 3000, 4092, 375);
    cmbBest_->setEnabled(false);

    cmbSlov_ = button("cmbSlov", QStringLiteral("Výpis slovníku všech použitých slov"),
                      QStringLiteral("Get current vocabulary on the server recognizer."));
    place(cmbSlov_, 120, 3360, 4092, 375);
    cmbSlov_->setEnabled(false);

    txtAddWord_ = new QLineEdit(QStringLiteral("chaloupka"), this);
    txtAddWord_->setObjectName(QStringLiteral("txtAddWord"));
    txtAddWord_->setToolTip(QStringLiteral("Write word you want to add in vocabulary"));
    place(txtAddWord_, 120, 3720, 1455, 405);

    cmbAddW_ = button("cmbAddW", QStringLiteral("Přidat slovo do slovníku"),
                      QStringLiteral("Add to server vocabulary"));
    place(cmbAddW_, 1560, 3720, 2652, 375);
    cmbAddW_->setEnabled(false);

    label1_1_ = label("Label1", QStringLiteral("Stavová hlášení a zprávy rozpoznávače:"));
    label1_1_->setProperty("index", 1);
    placeLabel(label1_1_, 4440, 360, 2892, 192);

    txtT_ = new StatusLog(this);
    txtT_->setObjectName(QStringLiteral("txtT"));
    txtT_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtT_->setTabChangesFocus(true);
    place(txtT_, kLogLeft, kLogTop, 4092, 3495);

    txtInfo_ = new QPlainTextEdit(AboutText(), this);
    txtInfo_->setObjectName(QStringLiteral("txtInfo"));
    txtInfo_->setFont(SansSerif(12, false));
    txtInfo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtInfo_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette face = txtInfo_->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        face.setColor(group, QPalette::Base, face.color(group, QPalette::Button));
    }
    txtInfo_->setPalette(face);
    place(txtInfo_, 120, 4800, 4092, 1932);
    txtInfo_->setEnabled(false);

    tmrConnected_ = new QTimer(this);
    tmrConnected_->setObjectName(QStringLiteral("tmrConnected"));
    tmrConnected_->setInterval(1000);

    wKlient_ = new KlientSocket(this);

    // Tab order: cmbConnect first. The labels (tab places 11, 13, 14 and 15)
    // never take the focus, so the chain skips them.
    QWidget *const order[] = {cmbConnect_, cmbDisConnect_, cmbStart_,   cmbStop_, cmbPing_,
                              cmbBest_,    cmbSlov_,       cmbAddW_,    txtAddWord_, cboHost_,
                              txtT_,       txtRemotePort_, txtInfo_};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
    cmbConnect_->setFocus();
}

bool FrmKorvel::Load(QString *error) {
    bufData_.assign(11, 0);
    // The program's folder becomes the current directory before the first
    // call into the library.
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    if (!mdlParam::Bind(error)) return false;
    mdlParam::InitClient(host_.Record(), kTimerPeriodMs, kCepstra, kWindowLength, kFrameShift, kCaptureMs);
    loaded_ = true;
    cboHost_->addItem(DefaultHost());
    wasConnected_ = false;
    return true;
}

void FrmKorvel::unload() {
    if (!loaded_) return;
    loaded_ = false;
    mdlParam::StopRecord();
    mdlParam::DeallocEnv();
}

void FrmKorvel::closeEvent(QCloseEvent *event) {
    unload();
    event->accept();
}

bool FrmKorvel::event(QEvent *event) {
    if (event->type() == NotificationEvent::Type()) {
        handleNotification(static_cast<NotificationEvent *>(event)->Code());
        return true;
    }
    return QWidget::event(event);
}

void FrmKorvel::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    const double clientWidth = PixelsToTwipsX(width());
    const double clientHeight = PixelsToTwipsY(height());
    // The outer size: the frame that the window system reports, or else the
    // design-time frame.
    double outerWidth = clientWidth + (kDesignOuterWidth - kDesignClientWidth);
    double outerHeight = clientHeight + (kDesignOuterHeight - kDesignClientHeight);
    const QRect frame = frameGeometry();
    if (frame.size() != size()) {
        outerWidth = PixelsToTwipsX(frame.width());
        outerHeight = PixelsToTwipsY(frame.height());
    }
    QRect log = txtT_->geometry();
    if (outerWidth > kDesignOuterWidth) {
        log.setWidth(TwipsToPixelsX(qRound(clientWidth) - kLogLeft - kLogMargin));
    }
    if (outerHeight > kDesignOuterHeight) {
        log.setHeight(TwipsToPixelsY(qRound(clientHeight) - kLogTop - kLogMargin));
    }
    txtT_->setGeometry(log);
}

void FrmKorvel::putOnTop(const QString &text) { txtT_->PutOnTop(text); }

void FrmKorvel::putAtBottom(const QString &text) { txtT_->PutAtBottom(text); }

// ---- Message sender ---------------------------------------------------------

void FrmKorvel::SendMSG(const QString &typeMsg, const QString &msg, bool isCRLF, int32_t packetNumber) {
    if (wKlient_->State() != KlientSocket::kConnected) return;
    const QByteArray type = typeMsg.toLatin1();
    const QByteArray text = msg.toUtf8();
    sendPacket(packet::EncodeText(mdlParam::HeadCodec(),
                                  std::string_view(type.constData(), static_cast<std::size_t>(type.size())),
                                  packetNumber,
                                  std::string_view(text.constData(), static_cast<std::size_t>(text.size())), isCRLF));
}

void FrmKorvel::sendPacket(std::span<const uint8_t> packet) {
    if (wKlient_->State() != KlientSocket::kConnected) return;
    wKlient_->SendData(QByteArray(reinterpret_cast<const char *>(packet.data()), static_cast<qsizetype>(packet.size())));
}

// ---- Receive reassembly and dispatcher ------------------------------------------

void FrmKorvel::receiveData() {
    const QByteArray chunk = wKlient_->GetData();
    const WalkResult result = reassembly_.Arrive(
        std::span(reinterpret_cast<const uint8_t *>(chunk.constData()), static_cast<std::size_t>(chunk.size())),
        [this](const ReceivedPacket &packet) { HandlePacket(packet); });
    if (result == WalkResult::BadLength) {
        putAtBottom(QStringLiteral("Protocol error: the server sent a packet of length %1 (allowed 0 to %2 "
                                   "bytes); the connection was closed.")
                        .arg(reassembly_.BadHead().length)
                        .arg(packet::kMaxPayload));
        wKlient_->Close();
    }
}

void FrmKorvel::HandlePacket(const ReceivedPacket &packet) {
    const PacketKind kind = KindOf(packet.head);
    switch (kind) {
    case PacketKind::Other:
        break;
    case PacketKind::Text:
        putOnTop(WireText(packet.payload));
        break;
    case PacketKind::News:
        putOnTop(WireText(packet.payload));
        sendPacket(AnswerTo(mdlParam::HeadCodec(), kind, packet.payload));
        break;
    case PacketKind::Ping:
        sendPacket(AnswerTo(mdlParam::HeadCodec(), kind, packet.payload));
        break;
    case PacketKind::Pong: {
        const int32_t now = mdlParam::GetTickCount();
        const std::string_view text(reinterpret_cast<const char *>(packet.payload.data()), packet.payload.size());
        const int32_t ms = RoundTripMs(now, LeadingNumber(text));
        putOnTop(QStringLiteral("NET RESPONSE> %1ms.\r\n").arg(ms));
        break;
    }
    }
}

// ---- Connection management --------------------------------------------------------

void FrmKorvel::connectToServer() {
    if (wKlient_->State() != KlientSocket::kClosed) wKlient_->Close();
    // The port is read before the host; the host text is taken as it stands.
    const qint64 port = PortNumber(txtRemotePort_->text().toStdString());
    const QString host = cboHost_->currentText();
    reassembly_.DropLeftover();  // a packet cut short by an old connection never leads the new one
    wKlient_->Connect(host, port);
}

void FrmKorvel::disconnectFromServer() {
    wKlient_->Close();
    stopRecognition();
}

void FrmKorvel::updateConnectionStatus() {
    lblConnected_->setText(ClockText());
    lblConnected_->adjustSize();
    QPalette palette = lblConnected_->palette();
    if (wKlient_->State() == KlientSocket::kConnected) {
        palette.setColor(QPalette::WindowText, Qt::red);
        lblConnected_->setPalette(palette);
        cmbDisConnect_->show();
        cmbConnect_->setEnabled(false);
        if (!wasConnected_) {
            wasConnected_ = true;
            SendMSG(TypeText(M::NEWS), QStringLiteral("news_demo"), false, 0);
            cmbAddW_->setEnabled(true);
            cmbBest_->setEnabled(true);
            cmbPing_->setEnabled(true);
            cmbSlov_->setEnabled(true);
            cmbStart_->setEnabled(true);
            cmbStart_->setFocus();
            cboHost_->setEnabled(false);
            txtRemotePort_->setEnabled(false);
        }
    } else {
        palette.setColor(QPalette::WindowText, Qt::black);
        lblConnected_->setPalette(palette);
        cmbConnect_->setEnabled(true);
        cmbDisConnect_->hide();
        if (wasConnected_) {
            // A recording never outlives its connection: its "DATA" must not
            // flow into the next one, which no "SRCG" told of it.
            if (cmbStop_->isEnabled()) stopRecognition();
            cmbConnect_->setFocus();
            cmbAddW_->setEnabled(false);
            cmbBest_->setEnabled(false);
            cmbPing_->setEnabled(false);
            cmbSlov_->setEnabled(false);
            cmbStart_->setEnabled(false);
            cboHost_->setEnabled(true);
            txtRemotePort_->setEnabled(true);
        }
        wasConnected_ = false;
    }
}

void FrmKorvel::logSocketError(int /*number*/, const QString &description) {
    putAtBottom(description);
    if (wKlient_->State() == KlientSocket::kError) wKlient_->Close();
}

// ---- Utterance streaming ------------------------------------------------------------

void FrmKorvel::startRecognition() {
    const int32_t r = mdlParam::StartRecord();
    putOnTop(QString::number(r) + QStringLiteral("\r\n"));
    sendPacket(UtteranceStart(mdlParam::HeadCodec()));
    cmbStop_->setEnabled(true);
    cmbStart_->setEnabled(false);
}

void FrmKorvel::stopRecognition() {
    const int32_t r = mdlParam::StopRecord();
    putOnTop(QString::number(r) + QStringLiteral("\r\n"));
    cmbStart_->setEnabled(true);
    cmbStop_->setEnabled(false);
    // One pass over the events already waiting: parameters that the library
    // announced before it stopped go out before "REST".
    QCoreApplication::processEvents();
    sendPacket(UtteranceEnd(mdlParam::HeadCodec()));
}

void FrmKorvel::handleNotification(int code) {
    if (code == VANTREL_NOTIFY_END || code == VANTREL_NOTIFY_DATA_FULL || code == VANTREL_NOTIFY_END_FULL) {
        stopRecognition();
        return;
    }
    drainParameters();
}

void FrmKorvel::drainParameters() {
    nParam_ = mdlParam::GetBufLen();
    if (nParam_ < 1) return;
    // Packets taken while the connection is down are dropped, and the socket
    // is closed once for each.
    nParam_ = DrainPackets({&mdlParam::GetParam, mdlParam::HeadCodec()}, nParam_, bufData_,
                           [this](std::span<const uint8_t> packet) {
                               if (wKlient_->State() == KlientSocket::kConnected) {
                                   sendPacket(packet);
                               } else {
                                   wKlient_->Close();
                               }
                           })
                  .waiting;
}

// ---- Server commands ----------------------------------------------------------------

void FrmKorvel::pingServer() {
    SendMSG(TypeText(M::PING), QString::number(mdlParam::GetTickCount()), false, 0);
}

void FrmKorvel::requestVocabulary() { SendMSG(TypeText(M::GETV), QString(), false, 0); }

void FrmKorvel::requestBestWords() { SendMSG(TypeText(M::GETB), QStringLiteral("5"), false, 0); }

void FrmKorvel::addWord() {
    // At most 20 characters; a character outside the basic plane counts as one.
    const QString word = txtAddWord_->text();
    qsizetype cut = 0;
    int characters = 0;
    while (cut < word.size() && characters < 20) {
        cut += (word[cut].isHighSurrogate() && cut + 1 < word.size() && word[cut + 1].isLowSurrogate()) ? 2 : 1;
        ++characters;
    }
    if (cut < word.size()) txtAddWord_->setText(word.left(cut));
    SendMSG(TypeText(M::ADDW), txtAddWord_->text(), false, 0);
}

}  // namespace tessary
