// The one internal interface between the platform-free protocol core and a
// platform's serial port.  Each platform has one backend file that
// implements it (port_posix.cpp, port_win32.cpp) plus OpenPlatformPort().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace korvel {

// Codes of the port operations.  They stay inside the library.
enum PortStatus : int {
  kPortOk = 0,
  kReadFailed = -103,   // the read call failed
  kReadShort = -104,    // fewer bytes arrived than asked for
  kWriteFailed = -106,  // the write call failed
  kWriteShort = -107,   // fewer bytes were written than asked for
};

enum class WaitResult {
  kWoken,  // the time passed, or input may have arrived
  kGone,   // the device went away (hang-up, unplug, I/O error)
};

class Port {
 public:
  virtual ~Port() = default;

  // One synchronous write of `count` bytes: kPortOk, kWriteFailed or kWriteShort.
  virtual int Write(const uint8_t* bytes, size_t count) = 0;
  // One synchronous read of `count` bytes: kPortOk, kReadFailed or kReadShort.
  virtual int Read(uint8_t* buffer, size_t count) = 0;
  // Received bytes waiting in the input queue, or a negative value when the
  // query fails (the device is gone).
  virtual int BytesInQueue() = 0;
  // Empty the input queue / abandon pending writes and empty the output queue.
  virtual void PurgeReceive() = 0;
  virtual void PurgeTransmit() = 0;

  // Block for at most `ms` milliseconds.  With wake_on_input the wait ends
  // early when input arrives; without it, only a hang-up ends it early.
  // Never spins.
  virtual WaitResult Wait(int ms, bool wake_on_input) = 0;
  // Monotonic milliseconds, for the protocol's timeouts.
  virtual int64_t NowMs() = 0;
  // Service the platform's own message queue, if it has one (Win32).
  virtual void PumpPlatformMessages() {}
  // True when the platform needs PumpPlatformMessages() during waits.
  virtual bool HasPlatformPump() const { return false; }
  // True once the device has been seen to go away.
  virtual bool Gone() const = 0;
};

// Opens and configures a platform port exactly as Korvel_CommOpenWithBaud
// describes: exclusive, raw 8-N-1 at `baud`, timeouts, queues, purged.
// `baud` has already been checked against the four supported rates.
// Returns null on any failure, leaving nothing open.
std::unique_ptr<Port> OpenPlatformPort(const char* name, uint32_t baud);

}  // namespace korvel
