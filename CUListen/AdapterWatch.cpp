#include "CUListen/AdapterWatch.h"

#include "CUListen/CUHandle.h"
#include "CUListen/RefreshPacer.h"
#include "nox/Time.h"

CAdapterWatch::CAdapterWatch(CCUHandler& handler)
    : m_handler(handler), m_runner(&CAdapterWatch::Run, this, nox::RUNNER_ONCE)
{
}

CAdapterWatch::~CAdapterWatch()
{
    Stop();
}

int CAdapterWatch::Start()
{
    m_bStop.store(false);
    return m_runner.Start();
}

void CAdapterWatch::Stop()
{
    m_bStop.store(true);
    m_watch.Wake();
    (void)m_runner.Join();
}

int CAdapterWatch::Run(void* pContext, void* /*pArg*/)
{
    static_cast<CAdapterWatch*>(pContext)->Loop();
    return 0;
}

// Without the system's reports (Open failed, or they never come) only the
// fallback re-reads remain.
void CAdapterWatch::Loop()
{
    (void)m_watch.Open();
    velmora::RefreshPacer pacer(nox::Time::GetTick());
    while (!m_bStop.load()) {
        const uint32_t nWaitMs = pacer.WaitMs(nox::Time::GetTick());
        const bool bReported = nWaitMs > 0 && m_watch.Wait(nWaitMs) > 0;
        if (m_bStop.load())
            break;
        const uint32_t nNowMs = nox::Time::GetTick();
        if (bReported)
            pacer.OnEvent(nNowMs);
        if (pacer.Due(nNowMs)) {
            pacer.OnRead(nNowMs);
            (void)m_handler.RefreshAdapters();   // a failure keeps the table and is logged
        }
    }
    m_watch.Close();
}
