// frmKorvel: the program's one window. It owns every control, the status
// timer, the socket wKlient and the client's state fields; its handlers are
// the connection manager, the receive handler, utterance streaming and the
// server commands. Everything runs on the window's thread.
//
// The controls keep their historical names (also their object names):
//   cboHost         the server's host name or address
//   txtRemotePort   the server's port
//   cmbConnect      connect to the server      cmbDisConnect  disconnect
//   lblConnected    shows whether connected    tmrConnected   status tick
//   cmbStart        start an utterance         cmbStop        end it
//   cmbPing         measure the round trip     cmbBest        list the best five words
//   cmbSlov         list the vocabulary        txtAddWord     the word to add
//   cmbAddW         add that word (the next utterance becomes its template)
//   txtT            status log, newest on top  txtInfo        about the program
//   label1_0, label2, label1_1                 captions
#pragma once

#include "packet/capture_settings.h"
#include "packet/reassembly.h"
#include "window/host_record.h"
#include "window/mdl_param.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <span>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace tessary {

class KlientSocket;
class StatusLog;

class FrmKorvel : public QWidget {
    Q_OBJECT

public:
    // Design-time geometry, in twips (1/1440 inch).
    static constexpr int kDesignClientWidth = 8760;
    static constexpr int kDesignClientHeight = 4308;
    static constexpr int kDesignOuterWidth = 8856;
    static constexpr int kDesignOuterHeight = 4692;
    static constexpr int kLogLeft = 4440;
    static constexpr int kLogTop = 600;
    static constexpr int kLogMargin = 228;

    // The analysis settings given to the library (shared with tessary-cli).
    static constexpr int32_t kTimerPeriodMs = capture::kTickMs;
    static constexpr int32_t kCepstra = capture::kCepstra;
    static constexpr int32_t kWindowLength = capture::kWindowLength;
    static constexpr int32_t kFrameShift = capture::kFrameShift;
    static constexpr int32_t kCaptureMs = capture::kCaptureMs;
    static constexpr int32_t kParamSlots = capture::kParamSlots;

    explicit FrmKorvel(QWidget *parent = nullptr);
    ~FrmKorvel() override;

    // The load steps: bufData, the program's folder as current directory,
    // InitClient, the host list, wasConnected. False, with error set, when the
    // library cannot be bound; nothing has been initialised then.
    bool Load(QString *error);

    // Sends one text message while connected; drops it silently otherwise.
    void SendMSG(const QString &typeMsg, const QString &msg, bool isCRLF, int32_t packetNumber);
    // Acts on one whole packet received from the server: shows its text,
    // answers it, or logs the round trip of a "PONG".
    void HandlePacket(const ReceivedPacket &packet);

    int TwipsToPixelsX(int twips) const;
    int TwipsToPixelsY(int twips) const;
    double PixelsToTwipsX(int pixels) const;
    double PixelsToTwipsY(int pixels) const;

    KlientSocket *Klient() const { return wKlient_; }
    const ReceiveReassembly &Reassembly() const { return reassembly_; }
    bool WasConnected() const { return wasConnected_; }
    const std::vector<uint8_t> &BufData() const { return bufData_; }

    static QString DefaultHost();
    static QString AboutText();

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void connectToServer();
    void disconnectFromServer();
    void updateConnectionStatus();
    void logSocketError(int number, const QString &description);
    void receiveData();
    void startRecognition();
    void stopRecognition();
    void pingServer();
    void requestVocabulary();
    void requestBestWords();
    void addWord();

private:
    void createControls();
    void handleNotification(int code);
    void drainParameters();
    void unload();
    // Writes a whole packet to the connection while connected; drops it
    // silently otherwise.
    void sendPacket(std::span<const uint8_t> packet);
    void putOnTop(const QString &text);
    void putAtBottom(const QString &text);
    void place(QWidget *control, int left, int top, int width, int height);

    // Controls.
    QLabel *label1_0_ = nullptr;
    QLabel *lblConnected_ = nullptr;
    QComboBox *cboHost_ = nullptr;
    QLabel *label2_ = nullptr;
    QLineEdit *txtRemotePort_ = nullptr;
    QPushButton *cmbConnect_ = nullptr;
    QPushButton *cmbDisConnect_ = nullptr;
    QPushButton *cmbStart_ = nullptr;
    QPushButton *cmbStop_ = nullptr;
    QPushButton *cmbPing_ = nullptr;
    QPushButton *cmbBest_ = nullptr;
    QPushButton *cmbSlov_ = nullptr;
    QLineEdit *txtAddWord_ = nullptr;
    QPushButton *cmbAddW_ = nullptr;
    QLabel *label1_1_ = nullptr;
    StatusLog *txtT_ = nullptr;
    QPlainTextEdit *txtInfo_ = nullptr;
    QTimer *tmrConnected_ = nullptr;
    KlientSocket *wKlient_ = nullptr;

    HostRecord host_;

    // Fields.
    std::vector<uint8_t> bufData_;
    bool wasConnected_ = false;
    int32_t nParam_ = 0;
    ReceiveReassembly reassembly_{mdlParam::HeadCodec()};  // rcvBufB and rcvRest
    bool loaded_ = false;
};

}  // namespace tessary
