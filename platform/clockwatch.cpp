#include "clockwatch.h"

#include <QLoggingCategory>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <set>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "timers.h"

namespace plat {

namespace {

Q_LOGGING_CATEGORY(lcClockWatch, "vx.app.clockwatch")

// The timer never expires in practice: it is there for the cancel-on-set notice only.
constexpr std::time_t kFarAheadSeconds = std::time_t{100} * 366 * 24 * 3600;

std::set<ClockWatch*>& liveWatches()
{
    static std::set<ClockWatch*> watches;
    return watches;
}

}  // namespace

long localUtcOffsetSeconds()
{
    // tzset picks up a changed TZ or a replaced zone file; localtime_r alone does not.
    ::tzset();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!::localtime_r(&now, &local))
        return 0;
    return local.tm_gmtoff;
}

ClockWatch::ClockWatch(Handler onChange, OffsetSource offset)
    : onChange_(std::move(onChange)), offset_(offset ? std::move(offset) : OffsetSource(localUtcOffsetSeconds))
{
    lastOffset_ = offset_();
    offsetTimer_ = timers().createTimer();
    offsetTimer_->onTimer = [this] { CheckOffset(); };
    offsetTimer_->setInterval(kOffsetCheckMs);
    offsetTimer_->setEnabled(true);

    fd_ = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0 || !Arm()) {
        const int error = errno;
        qCWarning(lcClockWatch) << "no notice of clock steps from the kernel:" << std::strerror(error)
                                << "- only changes of the UTC offset are noticed";
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    } else {
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { ReadClockFd(); });
    }
    liveWatches().insert(this);
}

ClockWatch::~ClockWatch()
{
    liveWatches().erase(this);
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

bool ClockWatch::Arm()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    itimerspec spec{};
    spec.it_value.tv_sec = now.tv_sec + kFarAheadSeconds;
    return ::timerfd_settime(fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr) == 0;
}

void ClockWatch::ReadClockFd()
{
    std::uint64_t expirations = 0;
    const ssize_t n = ::read(fd_, &expirations, sizeof expirations);
    if (n < 0 && errno == ECANCELED) {
        // The clock was set. Arming again ends the cancelled state; the offset read now
        // belongs to the new time, so the offset check does not report the same change again.
        if (!Arm()) {
            const int error = errno;
            qCWarning(lcClockWatch) << "cannot arm the clock-step notice again:" << std::strerror(error);
        }
        lastOffset_ = offset_();
        qCInfo(lcClockWatch) << "the system clock was set";
        NotifyChange();
    } else if (n == static_cast<ssize_t>(sizeof expirations)) {
        Arm();  // the far expiry itself came: nothing changed
    }
}

void ClockWatch::CheckOffset()
{
    const long offset = offset_();
    if (offset == lastOffset_)
        return;
    qCInfo(lcClockWatch) << "the local UTC offset changed from" << lastOffset_ << "s to" << offset << "s";
    lastOffset_ = offset;
    NotifyChange();
}

void ClockWatch::NotifyChange()
{
    const Handler handler = onChange_;  // the handler may end this watch
    if (handler)
        handler();
}

void simulateClockChange()
{
    const std::vector<ClockWatch*> watches(liveWatches().begin(), liveWatches().end());
    for (ClockWatch* watch : watches)
        if (liveWatches().count(watch))
            watch->NotifyChange();
}

}  // namespace plat
