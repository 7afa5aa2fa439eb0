// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The exported C interface: checks every handle and argument, serialises
// calls per port and keeps every exception inside the library.
#include "korvel.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "port.h"
#include "protocol.h"
#include "session.h"

namespace korvel {
namespace {

std::mutex g_registry_mutex;
std::map<uintptr_t, std::shared_ptr<Session>>& Registry() {
  static auto* registry = new std::map<uintptr_t, std::shared_ptr<Session>>();
  return *registry;
}
// Handle values count up from here in steps of 16 and are never reused, so
// that a stale handle can never name a port opened later.
uintptr_t g_next_handle = 0x4B5000;

}  // namespace

// Why the last open of this thread failed.
thread_local OpenFailure t_open_failure;

bool Session::RunPump() {
  Korvel_Pump fn;
  void* ctx;
  {
    std::lock_guard<std::mutex> lock(pump_mutex);
    fn = pump;
    ctx = pump_context;
  }
  if (fn == nullptr) return false;
  fn(ctx);
  return true;
}

WaitHooks Session::Hooks() {
  WaitHooks hooks;
  hooks.pump = [this] { return RunPump(); };
  hooks.closed = &closed;
  hooks.cancel = &cancel;
  return hooks;
}

void* RegisterSession(std::unique_ptr<Port> port) {
  auto session = std::make_shared<Session>(std::move(port));
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  g_next_handle += 16;
  Registry().emplace(g_next_handle, std::move(session));
  return reinterpret_cast<void*>(g_next_handle);
}

std::shared_ptr<Session> FindSession(void* handle) {
  if (handle == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  auto it = Registry().find(reinterpret_cast<uintptr_t>(handle));
  return it == Registry().end() ? nullptr : it->second;
}

std::shared_ptr<Session> UnregisterSession(void* handle) {
  if (handle == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  auto it = Registry().find(reinterpret_cast<uintptr_t>(handle));
  if (it == Registry().end()) return nullptr;
  auto session = std::move(it->second);
  Registry().erase(it);
  return session;
}

namespace {

// Stands for the caller's area of a command that has none.
constexpr char kNoArea = 0;

// Runs one command on a live session with its pump and close check.  A null
// handle, closed or unknown handle comes first (KORVEL_E_HANDLE), then a
// null area (KORVEL_E_ARGUMENT); the lookup sits inside the try as well.
template <typename Fn>
int OnSession(void* handle, const void* area, Fn&& fn) noexcept {
  try {
    std::shared_ptr<Session> session = FindSession(handle);
    if (!session) return KORVEL_E_HANDLE;
    if (area == nullptr) return KORVEL_E_ARGUMENT;
    const WaitHooks hooks = session->Hooks();
    // Calls in front of this one on the handle go first; meanwhile this
    // caller's pump keeps running, and a close ends the wait.
    CallLock& calls = session->calls;
    struct Turn {
      CallLock& calls;
      const CallLock::Ticket ticket;
      bool held = false;
      ~Turn() { held ? calls.Unlock() : calls.Leave(ticket); }
    } turn{calls, calls.Join()};
    std::chrono::milliseconds slice{0};
    while (!(turn.held = calls.WaitTurn(turn.ticket, slice))) {
      if (Closed(hooks)) return KORVEL_E_HANDLE;
      slice = std::chrono::milliseconds(ServicePump(*session->port, hooks) ? kPumpIntervalMs : 50);
    }
    if (Closed(hooks)) return KORVEL_E_HANDLE;
    return fn(*session->port, hooks);
  } catch (...) {
    // Nothing the library does should throw (allocation at most); if it
    // does, the header's one answer for that, not a port failure.
    return KORVEL_E_INTERNAL;
  }
}

}  // namespace
}  // namespace korvel

using korvel::kNoArea;
using korvel::OnSession;
using korvel::Port;
using korvel::WaitHooks;

extern "C" {

KORVEL_API void* KORVEL_CALL Korvel_CommOpenWithBaud(const char* port, uint32_t baud) {
  korvel::OpenFailure& failure = korvel::t_open_failure;
  try {
    failure = {};
    if (port == nullptr || port[0] == '\0') {
      failure.reason = KORVEL_OPEN_ARGUMENT;
      failure.text = "no port name given";
      return nullptr;
    }
    if (korvel::RateCode(baud) == 0) {
      failure.reason = KORVEL_OPEN_BAUD;
      failure.text = "unsupported baud rate " + std::to_string(baud) + " (use 4800, 9600, 19200 or 38400)";
      return nullptr;
    }
    std::unique_ptr<Port> opened = korvel::IsNetworkPortName(port)
                                       ? korvel::OpenNetworkPort(port, baud, &failure)
                                       : korvel::OpenPlatformPort(port, baud, &failure);
    if (!opened) {
      if (failure.reason == KORVEL_OPEN_OK) failure.reason = KORVEL_OPEN_SYSTEM;
      return nullptr;
    }
    failure = {};
    return korvel::RegisterSession(std::move(opened));
  } catch (...) {
    failure.reason = KORVEL_OPEN_SYSTEM;
    return nullptr;
  }
}

KORVEL_API int KORVEL_CALL Korvel_CommClose(void* handle) {
  try {
    std::shared_ptr<korvel::Session> session = korvel::UnregisterSession(handle);
    if (!session) return KORVEL_E_CLOSE;
    session->closed.store(true, std::memory_order_release);
    // A call waiting on the port (on another thread) ends at once.
    session->port->Interrupt();
    // The port closes when the last call using it lets go of the session.
    return KORVEL_OK;
  } catch (...) {
    return KORVEL_E_INTERNAL;
  }
}

KORVEL_API int KORVEL_CALL Korvel_ReadMode(void* handle, uint32_t mode) {
  return OnSession(handle, &kNoArea,
                   [&](Port& p, const WaitHooks& h) { return korvel::SetMode(p, h, mode); });
}

KORVEL_API int KORVEL_CALL Korvel_Search(void* handle, unsigned char* result) {
  return OnSession(handle, result,
                   [&](Port& p, const WaitHooks& h) { return korvel::QueryMode(p, h, result); });
}

KORVEL_API int KORVEL_CALL Korvel_Reset(void* handle, unsigned char* text) {
  return OnSession(handle, text,
                   [&](Port& p, const WaitHooks& h) { return korvel::ReadIdentification(p, h, text); });
}

KORVEL_API int KORVEL_CALL Korvel_ReadData(void* handle, unsigned char* data) {
  return OnSession(handle, data,
                   [&](Port& p, const WaitHooks& h) { return korvel::ReadCardData(p, h, data); });
}

KORVEL_API int KORVEL_CALL Korvel_SetCommBaud(void* handle, uint32_t baud) {
  // An unsupported rate is refused before the handle or the port is looked at.
  if (korvel::RateCode(baud) == 0) return KORVEL_E_BAUD;
  return OnSession(handle, &kNoArea,
                   [&](Port& p, const WaitHooks& h) { return korvel::SetReaderBaud(p, h, baud); });
}

KORVEL_API int KORVEL_CALL Korvel_SetTrack(void* handle, const unsigned char* record) {
  return OnSession(handle, record,
                   [&](Port& p, const WaitHooks& h) { return korvel::SetTrackSettings(p, h, record); });
}

KORVEL_API int KORVEL_CALL Korvel_GetTrack(void* handle, unsigned char* data) {
  return OnSession(handle, data,
                   [&](Port& p, const WaitHooks& h) { return korvel::CaptureTrack(p, h, data); });
}

KORVEL_API int KORVEL_CALL Korvel_WaitTrack(void* handle, unsigned char* data, uint32_t timeout_ms) {
  return OnSession(handle, data,
                   [&](Port& p, const WaitHooks& h) { return korvel::WaitTrack(p, h, data, timeout_ms); });
}

KORVEL_API int KORVEL_CALL Korvel_WaitSwipe(void* handle, unsigned char* data, uint32_t timeout_ms,
                                            const unsigned char* record, unsigned tracks, uint32_t* count) {
  if (count == nullptr) return korvel::FindSession(handle) ? KORVEL_E_ARGUMENT : KORVEL_E_HANDLE;
  return OnSession(handle, data, [&](Port& p, const WaitHooks& h) {
    return korvel::WaitSwipe(p, h, data, timeout_ms, record, tracks, count);
  });
}

KORVEL_API int KORVEL_CALL Korvel_CancelWait(void* handle) {
  try {
    std::shared_ptr<korvel::Session> session = korvel::FindSession(handle);
    if (!session) return KORVEL_E_HANDLE;
    session->cancel.store(true, std::memory_order_release);
    session->port->Wake();
    return KORVEL_OK;
  } catch (...) {
    return KORVEL_E_INTERNAL;
  }
}

KORVEL_API uint32_t KORVEL_CALL Korvel_SwipeComplete(const unsigned char* bytes, uint32_t count,
                                                     const unsigned char* record, unsigned tracks) {
  return static_cast<uint32_t>(korvel::CompleteSwipeLength(bytes, count, record, tracks));
}

KORVEL_API int KORVEL_CALL Korvel_SetMessagePump(void* handle, Korvel_Pump pump, void* context) {
  try {
    std::shared_ptr<korvel::Session> session = korvel::FindSession(handle);
    if (!session) return KORVEL_E_HANDLE;
    std::lock_guard<std::mutex> lock(session->pump_mutex);
    session->pump = pump;
    session->pump_context = pump == nullptr ? nullptr : context;
    return KORVEL_OK;
  } catch (...) {
    return KORVEL_E_INTERNAL;
  }
}

KORVEL_API const char* KORVEL_CALL Korvel_StatusText(int status) {
  switch (status) {
    case KORVEL_OK: return "Success";
    case KORVEL_E_BAUD: return "Unsupported baud rate (use 4800, 9600, 19200 or 38400)";
    case KORVEL_E_NO_REPLY: return "No reply from the reader within 3000 ms";
    case KORVEL_E_FRAME: return "Malformed reply (bad start byte or over-long reply)";
    case KORVEL_E_REPLY_TIMEOUT: return "The reply was not completed within 3000 ms";
    case KORVEL_E_OVERFLOW: return "More than 300 bytes waiting (nothing read)";
    case KORVEL_E_EMPTY: return "Nothing waiting, or the port could not be closed";
    case KORVEL_E_DISCONNECTED: return "The device went away";
    case KORVEL_E_REFUSED: return "The reader refused the command without an error code";
    case KORVEL_E_HANDLE: return "Invalid handle (null, closed or unknown)";
    case KORVEL_E_ARGUMENT: return "A required argument is null or out of range";
    case KORVEL_E_INTERNAL: return "Internal failure of the library";
    case KORVEL_E_CANCELLED: return "The wait was cancelled (Korvel_CancelWait)";
    default: break;
  }
  if (status >= 1 && status <= 255) return "The reader refused the command (the status is its error byte)";
  return "Unknown status";
}

KORVEL_API const char* KORVEL_CALL Korvel_StatusName(int status) {
  switch (status) {
    case KORVEL_OK: return "KORVEL_OK";
    case KORVEL_E_BAUD: return "KORVEL_E_BAUD";
    case KORVEL_E_NO_REPLY: return "KORVEL_E_NO_REPLY";
    case KORVEL_E_FRAME: return "KORVEL_E_FRAME";
    case KORVEL_E_REPLY_TIMEOUT: return "KORVEL_E_REPLY_TIMEOUT";
    case KORVEL_E_OVERFLOW: return "KORVEL_E_OVERFLOW";
    case KORVEL_E_EMPTY: return "KORVEL_E_EMPTY";  // and KORVEL_E_CLOSE
    case KORVEL_E_DISCONNECTED: return "KORVEL_E_DISCONNECTED";
    case KORVEL_E_REFUSED: return "KORVEL_E_REFUSED";
    case KORVEL_E_HANDLE: return "KORVEL_E_HANDLE";
    case KORVEL_E_ARGUMENT: return "KORVEL_E_ARGUMENT";
    case KORVEL_E_INTERNAL: return "KORVEL_E_INTERNAL";
    case KORVEL_E_CANCELLED: return "KORVEL_E_CANCELLED";
    default: break;
  }
  return status >= 1 && status <= 255 ? "KORVEL_READER_ERROR" : "KORVEL_UNKNOWN";
}

// The header's version is the project's (CMakeLists.txt, project(VERSION)):
// a build where they differ stops here.
static_assert(KORVEL_VERSION_MAJOR == KORVEL_PROJECT_VERSION_MAJOR &&
                  KORVEL_VERSION_MINOR == KORVEL_PROJECT_VERSION_MINOR &&
                  KORVEL_VERSION_PATCH == KORVEL_PROJECT_VERSION_PATCH,
              "korvel.h's KORVEL_VERSION_MAJOR/MINOR/PATCH differ from project(VERSION) in CMakeLists.txt");
static_assert(std::string_view(KORVEL_VERSION_STRING) == KORVEL_PROJECT_VERSION,
              "korvel.h's KORVEL_VERSION_STRING differs from project(VERSION) in CMakeLists.txt");

KORVEL_API const char* KORVEL_CALL Korvel_Version(void) {
  return KORVEL_VERSION_STRING;
}

KORVEL_API int KORVEL_CALL Korvel_GetOpenError(Korvel_OpenError* error) {
  const korvel::OpenFailure& failure = korvel::t_open_failure;
  if (error != nullptr) {
    auto copy = [](char* to, const std::string& from) {
      const size_t n = std::min<size_t>(from.size(), KORVEL_OPEN_TEXT - 1);
      std::memcpy(to, from.data(), n);
      std::memset(to + n, 0, KORVEL_OPEN_TEXT - n);
    };
    error->reason = failure.reason;
    error->system_error = failure.system_error;
    copy(error->device, failure.device);
    copy(error->text, failure.text);
  }
  return failure.reason;
}

}  // extern "C"
