// mdlMSGConst: the four-letter message types of the packet protocol, in their
// declared order. Type comparison is exact and case-sensitive over four bytes.
#pragma once

#include <array>
#include <string_view>

namespace tessary::mdlMSGConst {

inline constexpr std::string_view UMSG = "UMSG";  // server: text for the log
inline constexpr std::string_view DMSG = "DMSG";  // server: text for the log unless number 1
inline constexpr std::string_view DATA = "DATA";  // client: parameter frames of an utterance
inline constexpr std::string_view STRT = "STRT";  // declared only
inline constexpr std::string_view REST = "REST";  // client: end of an utterance (CR LF)
inline constexpr std::string_view TEST = "TEST";  // declared only
inline constexpr std::string_view PING = "PING";  // both: tick count as decimal text
inline constexpr std::string_view PONG = "PONG";  // both: the echo of a PING
inline constexpr std::string_view SRCG = "SRCG";  // client: an utterance begins
inline constexpr std::string_view SRWT = "SRWT";  // declared only
inline constexpr std::string_view GETV = "GETV";  // client: ask for the vocabulary
inline constexpr std::string_view GETB = "GETB";  // client: ask for the best five words ("5")
inline constexpr std::string_view ADDW = "ADDW";  // client: add a word to the vocabulary
inline constexpr std::string_view SCVF = "SCVF";  // declared only
inline constexpr std::string_view OSVF = "OSVF";  // client: "demo", number 1, answers NEWS
inline constexpr std::string_view GSVF = "GSVF";  // declared only
inline constexpr std::string_view WOUT = "WOUT";  // declared only
inline constexpr std::string_view NEWS = "NEWS";  // both: greeting and news text

inline constexpr std::array<std::string_view, 18> kAll = {
    UMSG, DMSG, DATA, STRT, REST, TEST, PING, PONG, SRCG,
    SRWT, GETV, GETB, ADDW, SCVF, OSVF, GSVF, WOUT, NEWS};

}  // namespace tessary::mdlMSGConst
