// The thread that keeps the handler's adapter table current (AdapterRefresh 1).
#pragma once

#include <atomic>

#include "nox/NetWatch.h"
#include "nox/Thread.h"

class CCUHandler;

// Waits for the system's reports of changed interfaces, addresses and routes
// and has the handler re-read its table about a second after the first report
// of a burst, and every 30 s without reports (velmora::RefreshPacer). Idle, the
// thread wakes once per 30 s. Start and Stop: main thread.
class CAdapterWatch {
public:
    explicit CAdapterWatch(CCUHandler& handler);
    ~CAdapterWatch();   // stops the thread

    int Start();        // 0 when the thread runs
    void Stop();        // wakes and joins the thread; harmless when not started

private:
    static int Run(void* pContext, void* pArg);
    void Loop();

    CCUHandler& m_handler;
    nox::NetWatch m_watch;
    std::atomic<bool> m_bStop{false};
    nox::Runner m_runner;
};
