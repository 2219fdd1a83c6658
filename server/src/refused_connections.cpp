#include "refused_connections.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tessary {

std::shared_ptr<RefusedConnections> RefusedConnections::Create(const asio::any_io_executor &executor,
                                                               const Pace &pace) {
    return std::shared_ptr<RefusedConnections>(new RefusedConnections(executor, pace));
}

RefusedConnections::RefusedConnections(const asio::any_io_executor &executor, const Pace &pace)
    : pace_(pace), timer_(asio::make_strand(executor)) {}

RefusedConnections::~RefusedConnections() {
    for (const Entry &entry : held_) ::close(entry.fd);
}

void RefusedConnections::Add(asio::ip::tcp::socket &&socket) {
    asio::error_code ec;
    const int fd = socket.release(ec);
    if (ec) return;  // the socket closes itself
    std::lock_guard lock(mutex_);
    held_.push_back({fd, Clock::now() + pace_.linger});
    if (ticking_) return;
    ticking_ = true;
    asio::post(timer_.get_executor(), [self = shared_from_this()] { self->Tick(); });
}

void RefusedConnections::CloseAll() {
    asio::post(timer_.get_executor(), [self = shared_from_this()] {
        std::lock_guard lock(self->mutex_);
        for (const Entry &entry : self->held_) ::close(entry.fd);
        self->held_.clear();
    });
}

std::size_t RefusedConnections::Held() const {
    std::lock_guard lock(mutex_);
    return held_.size() + visiting_;
}

bool RefusedConnections::Done(int fd, Clock::time_point until, Clock::time_point now) {
    char dropped[4096];
    for (int reads = 0; reads < 16; ++reads) {
        const ssize_t n = ::recv(fd, dropped, sizeof dropped, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n == 0) return true;  // the client has closed
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return true;  // reset, or gone some other way
    }
    return now >= until;
}

void RefusedConnections::Tick() {
    std::vector<Entry> visiting;
    {
        std::lock_guard lock(mutex_);
        const std::size_t n = std::min(pace_.visitsPerTick, held_.size());
        visiting.assign(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
        visiting_ = n;
    }
    const auto now = Clock::now();
    std::erase_if(visiting, [now](const Entry &entry) {
        if (!Done(entry.fd, entry.until, now)) return false;
        ::close(entry.fd);
        return true;
    });
    std::lock_guard lock(mutex_);
    visiting_ = 0;
    held_.insert(held_.end(), visiting.begin(), visiting.end());
    if (held_.empty()) {
        ticking_ = false;
        return;
    }
    timer_.expires_after(pace_.tick);
    timer_.async_wait([self = shared_from_this()](const asio::error_code &ec) {
        if (!ec) self->Tick();
    });
}

}  // namespace tessary
