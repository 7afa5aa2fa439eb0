// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Win32 serial port backend: kernel32 serial communications for the port,
// the thread's window-message queue (user32, win32_messages.h) serviced while
// waiting.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>
#include <string>

#include "korvel.h"
#include "korvel/port_names.h"
#include "korvel/rates.h"
#include "port.h"
#include "win32_messages.h"

namespace korvel {
namespace {

// Queue sizes asked of the driver on every open.
constexpr DWORD kInputQueueBytes = 2048;
constexpr DWORD kOutputQueueBytes = 1024;

constexpr DWORD kPurgeReceive = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPurgeTransmit = PURGE_TXABORT | PURGE_TXCLEAR;
static_assert(kPurgeReceive == 0x0A && kPurgeTransmit == 0x05, "purge masks");

// A synchronous handle cannot be waited on for input, so a wait for input
// looks at the queue count this often, sleeping (and woken by window
// messages) in between.
constexpr DWORD kInputPollMs = 2;

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
  // `interrupt` is a manual-reset event that Interrupt() sets; `wake` an
  // auto-reset one that Wake() sets.
  Win32Port(HANDLE handle, HANDLE interrupt, HANDLE wake)
      : handle_(handle), interrupt_(interrupt), wake_(wake) {}
  ~Win32Port() override {
    CloseHandle(handle_);
    CloseHandle(interrupt_);
    CloseHandle(wake_);
  }
  Win32Port(const Win32Port&) = delete;
  Win32Port& operator=(const Win32Port&) = delete;

  PortResult Write(const uint8_t* bytes, size_t count) override {
    DWORD written = 0;
    if (!WriteFile(handle_, bytes, static_cast<DWORD>(count), &written, nullptr)) {
      NoteError(GetLastError());
      return PortResult::kWriteFailed;
    }
    return written == count ? PortResult::kOk : PortResult::kWriteShort;
  }

  PortResult Read(uint8_t* buffer, size_t count) override {
    DWORD got = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(count), &got, nullptr)) {
      NoteError(GetLastError());
      return PortResult::kReadFailed;
    }
    return got == count ? PortResult::kOk : PortResult::kReadShort;
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

  // Sleeps in the system until the time has passed, Interrupt() is called,
  // or (with kWakeOnMessages) a window message arrives, for the caller to
  // pump; with kWakeOnInput it also looks at the input queue every few
  // milliseconds.  A call made from inside a pump does not wake on messages:
  // nobody would take them, and the wait would return at once again and again.
  WaitResult Wait(int ms, unsigned flags) override {
    if (gone_) return WaitResult::kGone;
    const bool on_input = (flags & kWakeOnInput) != 0;
    const bool on_messages = (flags & kWakeOnMessages) != 0;
    DWORD remaining = static_cast<DWORD>(std::max(ms, 0));
    for (;;) {
      if (on_input) {
        const int waiting = BytesInQueue();
        if (gone_) return WaitResult::kGone;
        if (waiting != 0) return WaitResult::kWoken;
      }
      if (remaining == 0) return WaitResult::kWoken;
      const DWORD step = on_input ? std::min(remaining, kInputPollMs) : remaining;
      const HANDLE handles[2] = {interrupt_, wake_};
      const DWORD r = win32::WaitForHandlesOrMessages(2, handles, step, on_messages);
      if (r != WAIT_TIMEOUT) return WaitResult::kWoken;
      remaining -= step;
    }
  }

  void Interrupt() override { SetEvent(interrupt_); }
  void Wake() override { SetEvent(wake_); }

  int64_t NowMs() override { return clock_.NowMs(); }

  void PumpPlatformMessages() override { win32::PumpThreadMessages(); }

  bool HasPlatformPump() const override { return true; }
  bool Gone() const override { return gone_; }

 private:
  void NoteError(DWORD error) {
    if (MeansDeviceGone(error)) gone_ = true;
  }

  HANDLE handle_;
  HANDLE interrupt_;
  HANDLE wake_;
  win32::TickClock clock_;
  bool gone_ = false;
};

// Fills `failure` for the system error `error` met while opening `device`.
std::nullptr_t Fail(OpenFailure* failure, int reason, DWORD error, const std::string& device,
                    const char* what) {
  failure->reason = reason;
  failure->system_error = static_cast<int>(error);
  failure->device = device;
  const std::string text = what != nullptr && what[0] != '\0' ? what : win32::SystemErrorText(error);
  failure->text = device + ": " + text;
  return nullptr;
}

int ReasonOfOpenError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST: return KORVEL_OPEN_ABSENT;
    // Windows answers a port that another program holds with "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return KORVEL_OPEN_BUSY;
    default: return KORVEL_OPEN_SYSTEM;
  }
}

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
  // The time limits of every backend (port.h), set on every open.
  timeouts.ReadIntervalTimeout = kReadIntervalMs;
  timeouts.ReadTotalTimeoutMultiplier = kReadTotalMultiplierMs;
  timeouts.ReadTotalTimeoutConstant = kReadTotalConstantMs;
  timeouts.WriteTotalTimeoutMultiplier = kWriteTotalMultiplierMs;
  timeouts.WriteTotalTimeoutConstant = kWriteTotalConstantMs;
  return SetCommTimeouts(handle, &timeouts) != FALSE;
}

}  // namespace

std::unique_ptr<Port> OpenPlatformPort(const char* name, uint32_t baud, OpenFailure* failure) {
  const LineRate* rate = FindLineRate(baud);
  if (rate == nullptr) return nullptr;
  const std::string device = WindowsDeviceName(name);

  // Read and write, exclusive, existing device only, synchronous.
  HANDLE handle =
      CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return Fail(failure, ReasonOfOpenError(error), error, device, nullptr);
  }

  if (!ApplyLineFormat(handle, rate->line_format) || !ApplyTimeouts(handle) ||
      !SetupComm(handle, kInputQueueBytes, kOutputQueueBytes)) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    // A device that takes no serial settings is no serial port.
    const bool serial = error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED;
    return Fail(failure, serial ? KORVEL_OPEN_CONFIG : KORVEL_OPEN_NOT_SERIAL, error, device,
                serial ? "the port refused the line settings" : "not a serial port");
  }
  HANDLE interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (interrupt == nullptr || wake == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    if (interrupt != nullptr) CloseHandle(interrupt);
    if (wake != nullptr) CloseHandle(wake);
    return Fail(failure, KORVEL_OPEN_SYSTEM, error, device, nullptr);
  }
  std::unique_ptr<Port> port(new (std::nothrow) Win32Port(handle, interrupt, wake));
  if (!port) {
    CloseHandle(handle);
    CloseHandle(interrupt);
    CloseHandle(wake);
    return Fail(failure, KORVEL_OPEN_SYSTEM, ERROR_NOT_ENOUGH_MEMORY, device, nullptr);
  }
  port->PurgeReceive();
  port->PurgeTransmit();
  return port;
}

}  // namespace korvel
