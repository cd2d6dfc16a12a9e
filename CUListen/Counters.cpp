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

const char* Counters::Help(Counter eWhich)
{
    static const char* const kHelp[kCounterCount] = {
        "Datagrams received with the JSON head 0x20.",
        "Datagrams received with the binary head 0xA3.",
        "Datagrams received with any other head, or empty.",
        "Requests dropped by the duplicate filter.",
        "Requests dropped because the request queue was full.",
        "Requests dropped because their source is outside the adapters' subnets.",
        "Replies sent.",
        "Replies not sent because the reply budget was spent.",
        "Replies whose send failed.",
        "Requests too short, unparsable, or not a search.",
    };
    return eWhich >= 0 && eWhich < kCounterCount ? kHelp[eWhich] : "";
}

}  // namespace velmora
