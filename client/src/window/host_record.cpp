#include "window/host_record.h"

#include <QCoreApplication>
#include <QTimer>

namespace tessary {

QEvent::Type NotificationEvent::Type() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

HostRecord::HostRecord(QObject *target) : QObject(target), target_(target) {
    record_.context = this;
    record_.set_timer = &HostRecord::SetTimer;
    record_.kill_timer = &HostRecord::KillTimer;
    record_.post_notify = &HostRecord::PostNotify;
}

HostRecord::~HostRecord() { qDeleteAll(timers_); }

uint32_t HostRecord::SetTimer(void *context, int32_t periodMs, VantrelTimerProc proc) {
    auto *self = static_cast<HostRecord *>(context);
    if (periodMs <= 0 || proc == nullptr) return 0;
    auto *timer = new QTimer(self);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(periodMs);
    connect(timer, &QTimer::timeout, self, [proc] { proc(); });
    if (++self->lastTimerId_ == 0) ++self->lastTimerId_;
    self->timers_.insert(self->lastTimerId_, timer);
    timer->start();
    return self->lastTimerId_;
}

void HostRecord::KillTimer(void *context, uint32_t timerId) {
    auto *self = static_cast<HostRecord *>(context);
    if (QTimer *timer = self->timers_.take(timerId)) {
        timer->stop();
        timer->deleteLater();  // the tick itself may be what kills it
    }
}

void HostRecord::PostNotify(void *context, int32_t code) {
    auto *self = static_cast<HostRecord *>(context);
    QCoreApplication::postEvent(self->target_, new NotificationEvent(code));
}

}  // namespace tessary
