// Wire constants of the discovery protocol, shared by the responder and the
// velmora-search client.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// JSON form: a 32-byte header whose byte 0 is kHeadJson, then the JSON text.
constexpr uint8_t kHeadJson = 0x20;
constexpr size_t kJsonHeaderLen = 32;
constexpr size_t kJsonLenOffset1 = 16;      // reply text length, 16-bit little-endian
constexpr size_t kJsonLenOffset2 = 24;      // the same length again
constexpr char kSearchMethod[] = "KQDiscover.search";
constexpr char kNotifyMethod[] = "client.notifyDevInfo";

// Binary form: request byte 0 is kHeadBinary; the reply record starts with
// kHeadBinaryReply. Offsets of the reply record:
constexpr uint8_t kHeadBinary = 0xA3;
constexpr uint8_t kHeadBinaryReply = 0xB3;
constexpr size_t kBinEchoOffset1 = 1;       // request byte 1, echoed
constexpr size_t kBinTailLenOffset = 2;     // (17 + name length) & 0xFF
constexpr size_t kBinMarkOffset = 4;        // kBinMark
constexpr uint8_t kBinMark = 0x58;
constexpr size_t kBinEchoOffset16 = 16;     // request byte 16, echoed
constexpr size_t kBinAddrOffset = 56;       // 4 octets
constexpr size_t kBinMaskOffset = 60;       // 4 octets
constexpr size_t kBinGatewayOffset = 64;    // 4 octets
constexpr size_t kBinHttpPortOffset = 94;   // 16-bit little-endian
constexpr size_t kBinPortOffset = 98;       // 16-bit little-endian
constexpr size_t kBinMacOffset = 120;       // 17 bytes of MAC text
constexpr size_t kBinMacLen = 17;
constexpr size_t kBinNameOffset = 137;      // name bytes, no terminator
constexpr size_t kBinRecordMax = 512;
constexpr size_t kBinNameMax = kBinRecordMax - kBinNameOffset;   // 375
constexpr size_t kBinRequestMinLen = 17;    // bytes 0..16 are read

// Default discovery endpoints.
constexpr char kMulticastGroup[] = "239.255.255.251";
constexpr int kGroupPorts[] = {37810, 47810, 57810};

}  // namespace velmora
