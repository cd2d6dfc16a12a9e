#include "RestartPolicy.h"

namespace velmora {
namespace svc {

bool CRestartPolicy::OnUnexpectedExit(unsigned long long nNowMs)
{
    while (!m_listRestart.empty() && nNowMs - m_listRestart.front() >= kWindowMs)
        m_listRestart.pop_front();
    if (m_listRestart.size() >= kMaxRestarts)
        return false;
    m_listRestart.push_back(nNowMs);
    return true;
}

}  // namespace svc
}  // namespace velmora
