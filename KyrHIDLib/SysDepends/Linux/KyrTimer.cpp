#include "KyrTimer.h"

#include <ctime>

namespace kyr_hid_library {

struct CKyrTimerData {
    timespec m_tmStart{};
};

namespace {

timespec Now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

} // namespace

CKyrTimer::CKyrTimer() : m_pData(new CKyrTimerData)
{
    Reset();
}

CKyrTimer::~CKyrTimer()
{
    delete m_pData;
}

void CKyrTimer::Reset()
{
    m_pData->m_tmStart = Now();
}

unsigned long CKyrTimer::GetMiliseconds() const
{
    // Whole milliseconds, rounded down: a time-out never fires early.
    const timespec now = Now();
    const long long nanos = (static_cast<long long>(now.tv_sec) - m_pData->m_tmStart.tv_sec) * 1000000000LL +
                            (static_cast<long long>(now.tv_nsec) - m_pData->m_tmStart.tv_nsec);
    return static_cast<unsigned long>(nanos / 1000000LL);
}

} // namespace kyr_hid_library
