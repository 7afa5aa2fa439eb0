// Win32 serial port backend: kernel32 serial communications for the port,
// the thread's window-message queue (user32) serviced while waiting.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>
#include <string>

#include "korvel/port_names.h"
#include "korvel/rates.h"
#include "port.h"

namespace korvel {
namespace {

// Queue sizes asked of the driver on every open.
constexpr DWORD kInputQueueBytes = 2048;
constexpr DWORD kOutputQueueBytes = 1024;

// Port time limits in milliseconds, set on every open.
constexpr DWORD kReadIntervalTimeout = 2000;
constexpr DWORD kReadTotalTimeoutMultiplier = 400;
constexpr DWORD kReadTotalTimeoutConstant = 400;
constexpr DWORD kWriteTotalTimeoutMultiplier = 40;
constexpr DWORD kWriteTotalTimeoutConstant = 400;

constexpr DWORD kPurgeReceive = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPurgeTransmit = PURGE_TXABORT | PURGE_TXCLEAR;
static_assert(kPurgeReceive == 0x0A && kPurgeTransmit == 0x05, "purge masks");

// A synchronous handle cannot be waited on for input, so a wait for input
// looks at the queue count this often, sleeping (and woken by window
// messages) in between.
constexpr DWORD kInputPollMs = 2;

// A window that never validates its update region gets WM_PAINT forever; a
// bound per pump keeps such a queue from holding the library inside the pump.
constexpr int kMaxMessagesPerPump = 1000;

// Errors with which a serial driver reports that the device is no longer
// there (USB unplug, the far end of a pseudo-terminal closed under Wine).
bool MeansDeviceGone(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED: return true;
    default: return false;
  }
}

class Win32Port final : public Port {
 public:
  explicit Win32Port(HANDLE handle) : handle_(handle), last_tick_(GetTickCount()) {}
  ~Win32Port() override { CloseHandle(handle_); }
  Win32Port(const Win32Port&) = delete;
  Win32Port& operator=(const Win32Port&) = delete;

  int Write(const uint8_t* bytes, size_t count) override {
    DWORD written = 0;
    if (!WriteFile(handle_, bytes, static_cast<DWORD>(count), &written, nullptr)) {
      NoteError(GetLastError());
      return kWriteFailed;
    }
    return written == count ? kPortOk : kWriteShort;
  }

  int Read(uint8_t* buffer, size_t count) override {
    DWORD got = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(count), &got, nullptr)) {
      NoteError(GetLastError());
      return kReadFailed;
    }
    return got == count ? kPortOk : kReadShort;
  }

  // The input queue count; clears any pending line error (its flags are
  // not used).
  int BytesInQueue() override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) {
      NoteError(GetLastError());
      return -1;
    }
    return static_cast<int>(std::min<DWORD>(status.cbInQue, INT_MAX));
  }

  void PurgeReceive() override { PurgeComm(handle_, kPurgeReceive); }
  void PurgeTransmit() override { PurgeComm(handle_, kPurgeTransmit); }

  // Sleeps in the system until the time has passed or a window message
  // arrives (the caller then pumps); with wake_on_input it also looks at the
  // input queue every few milliseconds.
  WaitResult Wait(int ms, bool wake_on_input) override {
    if (gone_) return WaitResult::kGone;
    DWORD remaining = static_cast<DWORD>(std::max(ms, 0));
    for (;;) {
      if (wake_on_input) {
        const int waiting = BytesInQueue();
        if (gone_) return WaitResult::kGone;
        if (waiting != 0) return WaitResult::kWoken;
      }
      if (remaining == 0) return WaitResult::kWoken;
      const DWORD step = wake_on_input ? std::min(remaining, kInputPollMs) : remaining;
      if (quit_pending_) {
        // A pending quit request keeps every message wait signalled.
        Sleep(step);
      } else if (MsgWaitForMultipleObjects(0, nullptr, FALSE, step, QS_ALLINPUT) == WAIT_OBJECT_0) {
        return WaitResult::kWoken;
      }
      remaining -= step;
    }
  }

  // The tick counter widened to 64 bits; unsigned differences carry it
  // across its wrap after 49.7 days.
  int64_t NowMs() override {
    const DWORD now = GetTickCount();
    ticks_ += static_cast<DWORD>(now - last_tick_);
    last_tick_ = now;
    return ticks_;
  }

  // Takes every waiting message of the calling thread's queue, any window,
  // and dispatches it, then translates it.
  void PumpPlatformMessages() override {
    quit_pending_ = false;
    MSG msg;
    for (int i = 0; i < kMaxMessagesPerPump && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
      if (msg.message == WM_QUIT) {
        // The quit request belongs to the caller's own message loop: put it
        // back rather than swallow it, and stop here (it would come again).
        PostQuitMessage(static_cast<int>(msg.wParam));
        quit_pending_ = true;
        break;
      }
      DispatchMessageA(&msg);
      TranslateMessage(&msg);
    }
  }

  bool HasPlatformPump() const override { return true; }
  bool Gone() const override { return gone_; }

 private:
  void NoteError(DWORD error) {
    if (MeansDeviceGone(error)) gone_ = true;
  }

  HANDLE handle_;
  DWORD last_tick_;
  int64_t ticks_ = 0;
  bool gone_ = false;
  bool quit_pending_ = false;
};

// Reads the device-control block, rebuilds it from the line format text and
// writes it back.  The bytes must pass untouched: no flow control (the text
// already turns it off), no null stripping, no error character, no DSR
// gating, and no aborting of reads and writes after a line error.
bool ApplyLineFormat(HANDLE handle, const char* format) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) return false;
  if (!BuildCommDCBA(format, &dcb)) return false;
  dcb.fBinary = TRUE;
  dcb.fNull = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fAbortOnError = FALSE;
  return SetCommState(handle, &dcb) != FALSE;
}

bool ApplyTimeouts(HANDLE handle) {
  COMMTIMEOUTS timeouts{};
  (void)GetCommTimeouts(handle, &timeouts);  // a failed read is of no consequence
  timeouts.ReadIntervalTimeout = kReadIntervalTimeout;
  timeouts.ReadTotalTimeoutMultiplier = kReadTotalTimeoutMultiplier;
  timeouts.ReadTotalTimeoutConstant = kReadTotalTimeoutConstant;
  timeouts.WriteTotalTimeoutMultiplier = kWriteTotalTimeoutMultiplier;
  timeouts.WriteTotalTimeoutConstant = kWriteTotalTimeoutConstant;
  return SetCommTimeouts(handle, &timeouts) != FALSE;
}

}  // namespace

std::unique_ptr<Port> OpenPlatformPort(const char* name, uint32_t baud) {
  const LineRate* rate = FindLineRate(baud);
  if (rate == nullptr) return nullptr;
  const std::string device = WindowsDeviceName(name);

  // Read and write, exclusive, existing device only, synchronous.
  HANDLE handle =
      CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;

  if (!ApplyLineFormat(handle, rate->line_format) || !ApplyTimeouts(handle) ||
      !SetupComm(handle, kInputQueueBytes, kOutputQueueBytes)) {
    CloseHandle(handle);
    return nullptr;
  }
  std::unique_ptr<Port> port(new (std::nothrow) Win32Port(handle));
  if (!port) {
    CloseHandle(handle);
    return nullptr;
  }
  port->PurgeReceive();
  port->PurgeTransmit();
  return port;
}

}  // namespace korvel
