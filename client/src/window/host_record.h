// The library's host record implemented with Qt: the capture tick runs on a
// QTimer of the window's thread, and every notification is posted to the
// window as a NotificationEvent, which reaches it in order with its other
// events whatever control has the focus. A key press is never one of them.
#pragma once

#include "vantrel.h"

#include <QEvent>
#include <QHash>
#include <QObject>

class QTimer;

namespace tessary {

class NotificationEvent : public QEvent {
public:
    explicit NotificationEvent(int code) : QEvent(Type()), code_(code) {}
    static QEvent::Type Type();
    int Code() const { return code_; }

private:
    int code_;
};

class HostRecord : public QObject {
    Q_OBJECT

public:
    // Notifications go to target, which lives on this thread.
    explicit HostRecord(QObject *target);
    ~HostRecord() override;

    // The record handed to InitClient; valid as long as this object lives.
    const VantrelHost *Record() const { return &record_; }

private:
    static uint32_t SetTimer(void *context, int32_t periodMs, VantrelTimerProc proc);
    static void KillTimer(void *context, uint32_t timerId);
    static void PostNotify(void *context, int32_t code);

    QObject *target_;
    VantrelHost record_{};
    QHash<uint32_t, QTimer *> timers_;
    uint32_t lastTimerId_ = 0;
};

}  // namespace tessary
