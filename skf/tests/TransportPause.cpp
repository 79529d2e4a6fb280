#include "TransportPause.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<bool> g_bSkip{false};
std::atomic<unsigned int> g_ulCount{0};
std::mutex g_mutex;
unsigned int g_ulAt = 0;  /* the count at which g_fnAct runs; 0: none */
std::function<void()> g_fnAct;

}  // namespace

namespace transport_pause {

void Skip(bool bSkip) { g_bSkip = bSkip; }
unsigned int Count() { return g_ulCount; }
void Reset() { g_ulCount = 0; }

void At(unsigned int n, std::function<void()> fnAct)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_ulAt = g_ulCount + n;
    g_fnAct = std::move(fnAct);
}

void Clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_ulAt = 0;
    g_fnAct = nullptr;
}

}  // namespace transport_pause

extern "C" int usleep(useconds_t ulMicros)
{
    unsigned int ulNow = ++g_ulCount;
    std::function<void()> fnAct;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_ulAt != 0 && ulNow == g_ulAt) {
            fnAct.swap(g_fnAct);
            g_ulAt = 0;
        }
    }
    if (fnAct) fnAct();
    if (g_bSkip) return 0;
    struct timespec ts = {(time_t)(ulMicros / 1000000), (long)(ulMicros % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0) {
    }
    return 0;
}
