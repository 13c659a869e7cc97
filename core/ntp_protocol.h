// The NTP side of the query engine (an SNTP version 4 client, RFC 4330): the
// request packet, the checks a reply must pass and the offset arithmetic.
// The engine's phases, deadlines and slots are shared with the TIME protocol.
#pragma once
#include <cstdint>

#include "core/server_table.h"
#include "core/time_base.h"

constexpr uint16_t kNtpPort = 123;
constexpr int kNtpPacketSize = 48;  // bytes, without extension fields
// Field positions in the packet (RFC 5905, figure 8).
constexpr int kStratumAt = 1;
constexpr int kReferenceIdAt = 12;
constexpr int kOriginateAt = 24;
constexpr int kReceiveAt = 32;
constexpr int kTransmitAt = 40;
// Fraction bits of the request's transmit stamp left to chance. 2^22 units of
// 2^-32 s are 0.98 ms, so the noise stays below the millisecond we send.
constexpr int kNtpRandomBits = 22;

// Names written "ntp://HOST" (scheme in any case) are NTP servers; *host
// points at HOST inside name. "ntp://" alone still counts as NTP, with an
// empty host that then fails the look-up: the user asked for NTP, and
// handing the whole text to the TIME protocol would fail the same way while
// hiding what was meant. host may be null.
bool IsNtpName(const char* name, const char** host);

// The 32.32 stamp stored big-endian at `at`.
uint64_t ReadNtpStamp(const uint8_t* at);

// time (at or after 1900) as an NTP 32.32 stamp, the seconds modulo 2^32 and
// the fraction rounded up, so that the stamp reads back as the same millisecond.
uint64_t NtpStamp(Ms1900 time);

// Fills packet with a client request (LI 0, version 4, mode 3) stamped with
// sendTime (at or after 1900), and returns the transmit stamp in NTP 32.32
// form. The stamp's low kNtpRandomBits bits come from randomBits, so that a
// reply can only match it by echoing the request.
uint64_t BuildNtpRequest(Ms1900 sendTime, uint32_t randomBits, uint8_t (&packet)[kNtpPacketSize]);

enum NtpReplyVerdict {
  NtpReplyUsable,
  // Not an answer to our request (a stale, stray or forged datagram): drop it
  // and keep waiting, as for a message on a socket the slot no longer holds.
  NtpReplyIgnored,
  // Kiss-o'-death RATE: the server asks us to slow down; this pass is over.
  NtpReplyRefused,
  // Kiss-o'-death DENY or RSTR: the server will not serve us at all.
  NtpReplyDenied,
  // An answer that carries no usable time.
  NtpReplyUnusable,
};

// Judges a datagram received on the query's socket, in this order:
//  1. shorter than kNtpPacketSize: unusable (nothing in it can be trusted,
//     and ending now beats waiting for the deadline);
//  2. originate stamp other than expectedOriginate: ignored, before anything
//     else is read, so that no full-size stray reply can end the query;
//  3. not mode 4 (server), or version outside 1..4: unusable;
//  4. stratum 0: refused for the kiss code RATE, denied for DENY and RSTR,
//     else unusable. Before the leap check, since kiss-o'-death packets
//     usually carry leap indicator 3;
//  5. stratum above 15, leap indicator 3 (server unsynchronised), a zero
//     receive or transmit stamp (a zero would read as a time in 2036), or a
//     transmit stamp earlier than the receive stamp: unusable.
NtpReplyVerdict CheckNtpReply(const uint8_t* data, int size, uint64_t expectedOriginate);

// The row status a failed NTP query ends with.
inline ServerStatus NtpFailureStatus(NtpReplyVerdict verdict) {
  return verdict == NtpReplyRefused || verdict == NtpReplyDenied ? StatusRefused : StatusNoResponse;
}

// How much longer than the whole round trip a server's hold time may read:
// both are truncated readings, ours of a tick that may step 16 ms at a time.
// More is a stale stamp, which would move the offset by half the excess.
constexpr int64_t kHoldSlackMs = 20;

struct NtpSample {
  OffsetMs offset;   // server clock minus ours, user offset included
  uint32_t delayMs;  // round trip less the server's hold time
  // False when the server held the request longer than the round trip took:
  // one of its stamps is not a reading of its clock (as a stale receive
  // stamp), and half the excess would go into the offset.
  bool consistent;
};

// reply passed CheckNtpReply. sendTime is T1 by the local clock; roundTripMs
// is T4 - T1 by the tick, which does not jump when the clock is set.
NtpSample ComputeNtpSample(const uint8_t* reply, Ms1900 sendTime, uint32_t roundTripMs,
                           OffsetMs userOffset);
