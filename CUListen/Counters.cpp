#include "CUListen/Counters.h"

namespace velmora {

const char* Counters::Name(Counter eWhich)
{
    static const char* const kNames[kCounterCount] = {
        "received_json",   "received_binary",  "received_other", "filtered_duplicate",
        "dropped_queue_full", "dropped_off_link", "replies_sent",  "replies_withheld",
        "send_errors",     "decode_failed",
    };
    return eWhich >= 0 && eWhich < kCounterCount ? kNames[eWhich] : "";
}

}  // namespace velmora
