// The reader simulator: a model of the card reader (pure: bytes in, bytes
// out, its own clock) and a server that plays it on the master side of a
// pseudo-terminal, so that the library and the dialog can be used and tested
// without hardware.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel::sim {

// A sample card: the track contents without sentinels (ISO 7813 layout,
// test card numbers only).  An empty track is not sent.
struct Card {
  std::string name;    // short label shown to people, e.g. "Visa test card"
  std::string track1;  // e.g. "B4111111111111111^TEST/CARD^29121010000000000000"
  std::string track2;  // e.g. "4111111111111111=29121010000000000000"
  std::string track3;
};

// The built-in sample cards (at least three).
const std::vector<Card>& SampleCards();

// Fault switches.  kNone answers every framed command correctly.
enum class Fault {
  kNone,
  kSilent,    // answer nothing
  kSlow,      // answer after `delay_ms`
  kCutShort,  // send the reply without its last `cut_bytes` bytes
  kNoise,     // send `noise` bytes before the reply
  kRefuse,    // answer with status 'N' and `error_byte`
  kBurst,     // the next swipe sends `burst_bytes` bytes (over 300)
  kHangUp,    // close the pty master: the host sees a hang-up
};

struct FaultSettings {
  Fault fault = Fault::kNone;
  int delay_ms = 4000;
  size_t cut_bytes = 2;
  std::vector<uint8_t> noise = {0x15};
  uint8_t error_byte = 0x05;
  size_t burst_bytes = 301;
};

// What the reader holds.
struct ReaderState {
  uint8_t mode = '1';  // '0' active, '1' command
  std::string identification;
  std::array<uint8_t, 8> track_settings{'%', '?', ';', '?', '+', '?', '7', '1'};
  uint32_t baud = 9600;
  std::vector<uint8_t> last_swipe;  // what ReadData answers in command mode
};

struct Options {
  uint32_t baud = 9600;
  uint8_t mode = '1';
  std::string identification = "MSR-3T V2.10";
  std::string link_path;  // when set, a symlink kept pointing at the pty
};

// The pure model of the reader.
class ReaderModel {
 public:
  explicit ReaderModel(const Options& options = {});
  // Bytes the host sent, at `now_ms` on the model's clock, with the host's
  // line running at `host_baud`.  Replies are queued with their due times.
  void Receive(const uint8_t* bytes, size_t count, int64_t now_ms, uint32_t host_baud);
  // A card passes the slot: in active mode its tracks are queued for the host
  // (unframed); in every mode it becomes the data ReadData answers with.
  void Swipe(const Card& card, int64_t now_ms);
  // Output due at or before `now_ms`, removed from the queue.
  std::vector<uint8_t> TakeOutput(int64_t now_ms);
  // When the next queued output is due, or -1 when nothing is queued.
  int64_t NextDue() const;
  void SetFault(const FaultSettings& fault);
  const FaultSettings& fault() const;
  const ReaderState& state() const;
  // The bytes one swipe of `card` sends with the current settings.
  std::vector<uint8_t> TrackBytes(const Card& card) const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// The model served on a pseudo-terminal by a thread of its own.
class PtyReader {
 public:
  // Creates the pty (raw mode), starts serving; null with `error` set on failure.
  static std::unique_ptr<PtyReader> Start(const Options& options = {}, std::string* error = nullptr);
  ~PtyReader();  // stops the thread, closes the pty, removes the link

  const std::string& path() const;  // the slave's path, e.g. /dev/pts/5
  void Swipe(size_t sample_index);
  void Swipe(const Card& card);
  void SetFault(const FaultSettings& fault);
  ReaderState State() const;
  // Raw bytes straight to the host, outside the model (tests).
  void Inject(const std::vector<uint8_t>& bytes);
  // Every byte received from the host so far (tests).
  std::vector<uint8_t> Received() const;
  void ClearReceived();
  // Closes the master now: the host sees a hang-up.
  void HangUp();

 private:
  PtyReader();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvel::sim
