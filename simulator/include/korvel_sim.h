/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The reader simulator: a model of the card reader (pure: bytes in, bytes
// out, its own clock) and a server that plays it on the master side of a
// pseudo-terminal, so that the library and the dialog can be used and tested
// without hardware.
//
// The reader's wire protocol, as the model plays it:
//
//   request  STX(02) LEN CMD PARAM.. ETX(03) BCC      LEN = 1 + parameters
//   reply    STX(02) LEN CMD P0 'Y' DATA.. ETX(03) BCC  (accepted)
//            STX(02) LEN CMD P0 'N' ERR    ETX(03) BCC  (refused)
//
// LEN counts from CMD up to the byte before ETX; BCC is the XOR of every byte
// from STX through ETX.  P0 is the request's first parameter byte (only the
// first, also for the eight-byte track settings; 0 when there is none).
// LEN is one byte, so reply data beyond 252 bytes is cut off.  A request with a wrong
// block check, a missing ETX or an empty body is ignored, and the model
// looks for the next STX.  A request left incomplete for more than
// kInterByteTimeoutMs is dropped.  Bytes that arrive while the host's line
// speed differs from the reader's are ignored, as a real UART would.
//
// Commands:
//   '0' set mode     param '0' active, '1' command; else refused (kErrorBadParameter)
//   '1' query mode   data: the mode byte (see Fault::kModeByte)
//   '2' identify     data: the identification text
//   '3' read data    data: the last swipe's bytes, exactly as active mode sends
//                    them; refused with kErrorNoCard before the first swipe
//   '4' set rate     param '0'..'3' = 4800/9600/19200/38400, else refused;
//                    the reply goes out at the old rate, then the reader switches
//   '5' track setup  eight bytes: t1 start, t1 end, t2 start, t2 end,
//                    t3 start, t3 end, '7', Enter mark ('1' CR LF after each
//                    track); stored as sent.  Any other count is refused.
//   other            refused with kErrorUnknownCommand
//
// Active mode: a swipe sends every non-empty track unframed: start
// sentinel, track data, end sentinel, then CR LF when the Enter mark is '1'.
// In every mode a swipe becomes the data that '3' answers with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::sim {

// The reader's error bytes for its own refusals.
inline constexpr uint8_t kErrorUnknownCommand = 0x01;
inline constexpr uint8_t kErrorBadParameter = 0x02;
inline constexpr uint8_t kErrorNoCard = 0x03;

// An incomplete request older than this is dropped when more bytes arrive.
inline constexpr int64_t kInterByteTimeoutMs = 100;
// The notes the model keeps for TakeNotes().
inline constexpr size_t kMaxNotes = 1000;

// A card: the track contents without sentinels.  An empty track is not sent.
// The sample cards use the ISO 7813 layout and test card numbers only.
struct Card {
  std::string name;    // short label shown to people, e.g. "Visa test card"
  std::string track1;  // e.g. "B4111111111111111^TEST/CARD^29121010000000000000"
  std::string track2;  // e.g. "4111111111111111=29121010000000000000"
  std::string track3;
  // A short stable name for tools and commands, e.g. "visa".  (Its
  // initialiser keeps {name, track1, track2, track3} a complete initialiser.)
  std::string key = {};
};

// The built-in sample cards.  The first four stay first and in this order:
// "visa" (tracks 1 and 2), "mastercard" (tracks 1, 2 and 3), "amex" (tracks
// 1 and 2), "discover" (track 2 only).  After them, cards that a program
// reading cards has to cope with: "luhn-fail" (the card number's check
// digit is wrong), "expired" (expiry date December 2019), "mismatch" (tracks
// 1 and 2 carry different card numbers and dates), "member" (a membership
// card: track 1 with format code 'A', a numeric track 2 without the '='
// layout, no card number), "bad-chars" (lower-case letters on track 1 and a
// letter on track 2, outside those tracks' character sets).  A swipe of more
// than 300 bytes is the burst fault (Fault::kBurst).
const std::vector<Card>& SampleCards();

// How many sample cards, from the first, are well-formed payment cards (the
// four above, before the ones made to be wrong).
inline constexpr size_t kWellFormedSampleCards = 4;

// The sample card with this key, or null.
const Card* FindSampleCard(std::string_view key);

// Reads a card written as track texts: "1=TEXT 2=TEXT 3=TEXT", any of the
// three, in any order, each at most once.  A track's text runs up to the
// next whitespace that is followed by "1=", "2=" or "3=", or to the end, so
// it may hold spaces and '=' (track 2's separator); whitespace around the
// texts is dropped.  Inside a text \xNN stands for the byte NN (hex) and
// \\ for a backslash.  On success fills the three tracks of `card`
// (others empty; name and key untouched) and returns true; otherwise
// returns false with `error` (when not null) saying why.
bool ParseTracks(std::string_view text, Card* card, std::string* error = nullptr);

// Fault switches.  kNone answers every framed command correctly.
//
// A change of fault takes effect at once, also on a reply that the slow
// fault still holds back: under a new slow fault that reply is due the new
// delay after its request (at once when that time has passed already); under
// the silent fault it is dropped (a silent reader sends nothing); under any
// other fault it is sent at once, as it was built.  What the reader queued
// after the held reply (a swipe in active mode) follows it, in order.
enum class Fault {
  kNone,
  kSilent,    // answer nothing (the command is not carried out either)
  kSlow,      // answer after `delay_ms`
  kCutShort,  // send the reply without its last `cut_bytes` bytes
  kNoise,     // send `noise` bytes before the reply
  kRefuse,    // answer with status 'N' and `error_byte` (not carried out)
  kBurst,     // the next swipe in active mode sends `burst_bytes` bytes (the
              // card's track bytes repeated); then the fault clears itself
  kHangUp,    // the next framed command makes the pty server close the
              // master: the host sees a hang-up while it waits
  kModeByte,  // the mode query ('1') is accepted with `mode_byte` as its
              // data, or with no data when `mode_byte` is empty; every other
              // command is answered correctly
};

struct FaultSettings {
  Fault fault = Fault::kNone;
  int delay_ms = 4000;
  size_t cut_bytes = 2;
  std::vector<uint8_t> noise = {0x15};
  uint8_t error_byte = 0x05;
  size_t burst_bytes = 301;
  std::optional<uint8_t> mode_byte = uint8_t{'2'};
};

// What may follow a fault's name in korvel-sim's "fault" command.
enum class FaultArgument {
  kNone,           // nothing
  kNumber,         // a decimal number
  kHexBytes,       // one or more hex bytes: "15 ff", "15ff", "0x15"
  kHexByte,        // one hex byte
  kHexByteOrNone,  // one hex byte, or the word "none"
};

// One entry of the fault table.  The default of a fault's argument is its
// value in FaultSettings{}.
struct FaultInfo {
  Fault fault;
  const char* name;           // "slow": the word korvel-sim takes after "fault"
  const char* label;          // "Slow: answer late": for people (the dialog's list)
  const char* help;           // "answer after MS milliseconds": one line of help
  FaultArgument argument;     // what may follow the name
  const char* argument_name;  // "MS" ("" without an argument)
};

// The one table of the faults, in the order of the Fault enumeration.
std::span<const FaultInfo> FaultTable();

// The table's entry of `fault`.
const FaultInfo& InfoOf(Fault fault);

// A short name of a fault ("none", "silent", "slow", ...): InfoOf(fault).name.
const char* FaultName(Fault fault);

// The argument of the settings' fault as korvel-sim takes it ("4000" for
// slow, "15 FF" for noise, "none" for a mode reply without data), or empty
// for a fault without an argument.
std::string FaultArgumentText(const FaultSettings& settings);

// The settings as the words of a fault command: "slow 4000", "mode 32", "none".
std::string DescribeFault(const FaultSettings& settings);

// Reads the words of a fault command ("slow", "slow 2000", "noise 15 ff",
// "mode none").  A missing argument takes its default; the slow delay is
// capped at 600000 ms and the burst at 65536 bytes.  On success fills
// `settings` (every member that the fault does not use at its default) and
// returns true; otherwise returns false with `error` (when not null) saying
// why, and leaves `settings` alone.
bool ParseFault(std::string_view text, FaultSettings* settings, std::string* error = nullptr);

// What the reader holds.
struct ReaderState {
  uint8_t mode = '1';  // '0' active, '1' command
  std::string identification;
  std::array<uint8_t, 8> track_settings{'%', '?', ';', '?', '+', '?', '7', '1'};
  uint32_t baud = 9600;
  std::vector<uint8_t> last_swipe;  // what ReadData answers with; empty before the first swipe
};

struct Options {
  uint32_t baud = 9600;
  uint8_t mode = '1';
  std::string identification = "MSR-3T V2.10";
  std::string link_path;  // when set, a symlink kept pointing at the pty
  // Pace the reader's output at its line rate (10 bits a byte) instead of
  // handing it over at once.  Off by default: tests want whole bursts.
  bool line_timing = false;
  // Called from the pty server's thread with one human-readable line per
  // event (command handled, swipe, fault, host closed the port, ...).
  std::function<void(const std::string&)> on_event;
};

// The pure model of the reader.  Not thread-safe; PtyReader guards it.
class ReaderModel {
 public:
  explicit ReaderModel(const Options& options = {});
  // Bytes the host sent, at `now_ms` on the model's clock, with the host's
  // line running at `host_baud` (0: unknown, taken as matching).  Replies are
  // queued with their due times.
  void Receive(const uint8_t* bytes, size_t count, int64_t now_ms, uint32_t host_baud);
  // A card passes the slot: in active mode its tracks are queued for the host
  // (unframed); in every mode it becomes the data ReadData answers with.
  void Swipe(const Card& card, int64_t now_ms);
  // Output due at or before `now_ms`, removed from the queue.
  std::vector<uint8_t> TakeOutput(int64_t now_ms);
  // When the next queued output is due, or -1 when nothing is queued.
  int64_t NextDue() const;
  // Switches the fault at `now_ms` on the model's clock (see Fault for what
  // becomes of a reply the slow fault holds back).
  void SetFault(const FaultSettings& fault, int64_t now_ms = 0);
  const FaultSettings& fault() const;
  const ReaderState& state() const;
  // The bytes one swipe of `card` sends with the current settings.
  std::vector<uint8_t> TrackBytes(const Card& card) const;
  // True once after a command met the kHangUp fault.
  bool TakeHangUp();
  // Human-readable notes of what the model did since the last call: at most
  // kMaxNotes of the latest, after a note that says how many older ones were
  // dropped, if any were.
  std::vector<std::string> TakeNotes();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// Builds a reply frame: STX LEN cmd p0 status data.. ETX BCC.
std::vector<uint8_t> BuildReply(uint8_t cmd, uint8_t p0, uint8_t status, const std::vector<uint8_t>& data);
// Builds a request frame: STX LEN cmd params.. ETX BCC.
std::vector<uint8_t> BuildRequest(uint8_t cmd, const std::vector<uint8_t>& params);

// The model served on a pseudo-terminal by a thread of its own.  The server
// holds no descriptor of the terminal's slave side, so the host's exclusive
// open (flock + TIOCEXCL) is never disturbed; while no host has the port
// open the server just waits.
class PtyReader {
 public:
  // Creates the pty (raw mode), starts serving; null with `error` set on failure.
  static std::unique_ptr<PtyReader> Start(const Options& options = {}, std::string* error = nullptr);
  ~PtyReader();  // stops the thread, closes the pty, removes the link

  const std::string& path() const;       // the slave's path, e.g. /dev/pts/5
  const std::string& link_path() const;  // Options::link_path, or empty
  void Swipe(size_t sample_index);       // index into SampleCards(); others are ignored
  void Swipe(const Card& card);
  void SetFault(const FaultSettings& fault);  // takes effect at once (see Fault)
  FaultSettings fault() const;
  ReaderState State() const;
  // Raw bytes straight to the host, outside the model (tests).
  void Inject(const std::vector<uint8_t>& bytes);
  // Every byte received from the host so far (tests).
  std::vector<uint8_t> Received() const;
  void ClearReceived();
  // Waits until at least `count` bytes have been received in all (since the
  // last ClearReceived); false after `timeout_ms`.
  bool WaitReceived(size_t count, int timeout_ms) const;
  // Waits until every queued byte has been written to the pty; false after
  // `timeout_ms` (or when nothing can be written any more).
  bool WaitIdle(int timeout_ms) const;
  // Closes the master now: the host sees a hang-up.  Waits until it is closed.
  void HangUp();
  bool HungUp() const;

 private:
  PtyReader();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvel::sim
