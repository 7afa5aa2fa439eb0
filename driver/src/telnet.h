/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Telnet framing (RFC 854) and the COM port control option (RFC 2217) as the
// client of a network port server speaks them.  Free of I/O: bytes from the
// network go in, data bytes and the answers owed to the server come out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel::telnet {

// Telnet command bytes.
inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

// Options.
inline constexpr uint8_t kOptionBinary = 0;
inline constexpr uint8_t kOptionEcho = 1;
inline constexpr uint8_t kOptionSuppressGoAhead = 3;
inline constexpr uint8_t kOptionComPort = 44;

// COM port control commands, client to server.  The server answers each with
// the same code plus kServerCode and the value now in effect.
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerCode = 100;

// Command values.
inline constexpr uint8_t kDataSize8 = 8;
inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kStopSize1 = 1;
inline constexpr uint8_t kControlNoFlow = 1;  // outbound (and both): no flow control
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kPurgeReceive = 1;   // the server's buffer of bytes from the serial port
inline constexpr uint8_t kPurgeTransmit = 2;  // the server's buffer of bytes for the serial port
inline constexpr uint8_t kPurgeBoth = 3;

// Longest subnegotiation value kept; the rest of a longer one is dropped.
inline constexpr size_t kMaxSubnegotiation = 64;

// Appends data bytes as they travel: each 0xFF doubled.
void AppendData(const uint8_t* bytes, size_t count, std::vector<uint8_t>* out);
// Appends IAC verb option.
void AppendNegotiation(uint8_t verb, uint8_t option, std::vector<uint8_t>* out);
// Appends IAC SB COM-PORT-OPTION command value.. IAC SE (0xFF in the value doubled).
void AppendComPortCommand(uint8_t command, const std::vector<uint8_t>& value, std::vector<uint8_t>* out);
// `wire` holds whole units as they travel (a data byte, a doubled 0xFF, a
// command, a subnegotiation); returns where the unit that covers offset `at`
// ends (`at` itself when a unit starts there).  A write cut short at `at`
// must still send up to there, or the server reads what follows as part of
// a command.
size_t UnitEnd(const std::vector<uint8_t>& wire, size_t at);

// A command found in the input.
struct Command {
  size_t at = 0;               // data bytes that came before it in the same Feed()
  uint8_t verb = 0;            // kWill, kWont, kDo, kDont, kSb, or another command byte (NOP, GA, ...)
  uint8_t option = 0;          // of a negotiation or subnegotiation
  std::vector<uint8_t> value;  // of a subnegotiation: the bytes after the option, undoubled
  bool operator==(const Command&) const = default;
};

// Splits received bytes into data and commands.  A command, subnegotiation
// or doubled 0xFF split across reads is completed by the next Feed().
class Decoder {
 public:
  void Feed(const uint8_t* bytes, size_t count, std::vector<uint8_t>* data, std::vector<Command>* commands);

 private:
  enum class State : uint8_t { kData, kIac, kOption, kSbOption, kSbValue, kSbIac };
  void Emit(size_t at, std::vector<Command>* commands);
  State state_ = State::kData;
  Command pending_;
};

// The client's side of the conversation: the options it asks for and
// accepts (COM port control and binary transmission; suppress-go-ahead
// accepted; everything else, echo included, refused), the line settings and
// their confirmation, and purges.  Each request of the server's is answered
// once: a repeated request for what is already agreed, or for an option
// refused before, gets no answer, so the answers a server can ask for are
// bounded by what it switches on and off.
class Client {
 public:
  enum class Progress { kPending, kDone, kRefused };

  Client();
  // The opening: WILL COM-PORT-OPTION, WILL BINARY, DO BINARY.
  std::vector<uint8_t> Start();
  // A receive and transmit purge, then `baud`, 8 data bits, no parity, one
  // stop bit and no flow control, each of which the server must confirm;
  // then DTR and RTS on, whose confirmation is not awaited.
  std::vector<uint8_t> ConfigureLine(uint32_t baud);
  // Decodes received bytes: data bytes are appended to `data` (less those a
  // receive purge drops, see Purge()), answers owed to the server to `answer`.
  void Receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>* data, std::vector<uint8_t>* answer);
  // A purge request (kPurgeReceive, kPurgeTransmit or kPurgeBoth).  Once the
  // server has confirmed a purge, a receive purge also drops every data byte
  // that arrives before its confirmation: the server sent those before it
  // purged, so they are as stale as the ones it dropped.
  std::vector<uint8_t> Purge(uint8_t what);
  // True while data is dropped awaiting purge confirmations.
  bool Dropping() const { return awaited_purges_ > 0; }
  // Stops waiting for purge confirmations (a server that stopped sending them).
  void StopDropping() { awaited_purges_ = 0; }

  // Whether the server agreed to the COM port control option.
  Progress com_port() const;
  // Whether the server confirmed every line setting with the value asked.
  Progress line() const;
  // What the server answered instead of a setting asked for, as text.
  const std::string& refusal() const { return refusal_; }
  bool confirms_purges() const { return confirms_purges_; }

 private:
  // Option states of RFC 1143, without the states for switching off (the
  // client never switches an option off), and kRefused: off, the server's
  // request for it refused once and never answered again.
  enum class Q : uint8_t { kNo, kWantYes, kYes, kRefused };
  struct Setting {
    uint8_t command;
    std::vector<uint8_t> asked;
    bool confirmed = false;
  };
  void Handle(const Command& command, std::vector<uint8_t>* answer);
  void HandleComPort(const std::vector<uint8_t>& value);
  static bool WantLocal(uint8_t option);
  static bool WantRemote(uint8_t option);

  Decoder decoder_;
  Q us_[256];   // options this side performs (WILL/WONT sent, DO/DONT received)
  Q him_[256];  // options the server performs (DO/DONT sent, WILL/WONT received)
  std::vector<Setting> settings_;
  std::string refusal_;
  bool confirms_purges_ = false;
  int awaited_purges_ = 0;
  std::vector<uint8_t> decoded_;
  std::vector<Command> commands_;
};

}  // namespace korvel::telnet
