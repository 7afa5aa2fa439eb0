/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

/*
 * korvel.h - driver library for the serial magnetic-stripe card reader.
 *
 * This header is the manual of the library.  Everything a program needs to
 * drive the reader is declared here: nine exported functions, the status
 * codes they return, and a few extensions (a message pump hook, a status's
 * text and name, the reason for a failed open, the library's version).  It is
 * usable from C and from C++.  What a swipe's bytes mean (tracks, account
 * fields, checks, masking) is the subject of korvel_card.h.
 *
 * ---------------------------------------------------------------------------
 * The reader and its two modes
 * ---------------------------------------------------------------------------
 * The reader talks over a serial line (8 data bits, no parity, 1 stop bit at
 * 4800, 9600, 19200 or 38400 baud).  The host sends one request frame per
 * command and the reader answers with one reply frame.  In *active mode* the
 * reader also sends the data of every swipe by itself, unframed; a program
 * collects those bytes with Korvel_GetTrack().  In *command mode* the host asks
 * for the last swipe with Korvel_ReadData().
 *
 * ---------------------------------------------------------------------------
 * Handles
 * ---------------------------------------------------------------------------
 * Korvel_CommOpenWithBaud() returns an opaque handle owned by the library.
 * It is not a file descriptor or a platform HANDLE.  Every other call checks
 * it first: a null, closed or never-issued handle fails at once with
 * KORVEL_E_HANDLE (Korvel_CommClose() answers KORVEL_E_CLOSE instead) and never
 * reaches the operating system.  Handles are never reused, so a stale handle
 * can never name a port opened later.
 *
 * ---------------------------------------------------------------------------
 * Waiting, timeouts and the message pump
 * ---------------------------------------------------------------------------
 * Every framed command waits up to 3000 ms for the first two bytes of the
 * reply and then up to 3000 ms more for the rest of it.  While it waits the
 * calling thread sleeps in the operating system (it does not spin) and, if a
 * pump has been set with Korvel_SetMessagePump(), calls that pump at least
 * every 10 ms, so that a user interface stays painted.  (The thread wakes for
 * the pump every 5 ms; only a machine so loaded that it leaves the thread
 * unscheduled for longer stretches the interval.)  On Windows the thread's
 * window-message queue is serviced as well.  A call that waits for another
 * thread's call on the same handle to finish runs the pump the same way.
 *
 * Pumps never nest: a call made from inside a pump (on the same thread) waits
 * without running the pump, or the Windows message queue, again.  It sleeps
 * as a call without a pump does and returns to the pump when it is done.
 *
 * If the device goes away during a wait (USB unplug, the other end of a
 * pseudo-terminal closed, a network port's connection closed or reset) the
 * wait ends at once with KORVEL_E_DISCONNECTED;
 * if another thread closes the handle, it ends at once with KORVEL_E_HANDLE.
 *
 * ---------------------------------------------------------------------------
 * Threads
 * ---------------------------------------------------------------------------
 * The library has no thread of its own.  Calls on different handles are
 * independent and may run on different threads at the same time.  Calls on
 * one handle from several threads are serialised by the library, first come,
 * first served: a call that finds the handle busy waits for its turn (running
 * its pump meanwhile, see above) and gets the handle as soon as the calls
 * that were waiting before it have returned, so that a thread calling again
 * and again (a loop of Korvel_WaitTrack(), say) never keeps another thread's
 * call waiting for more than the one call in progress.  To end a long
 * Korvel_WaitTrack() at once so that another call can go, use
 * Korvel_CancelWait().  A pump may call the library again on the same
 * handle from the same thread (the inner call runs to completion first; the
 * outer one may then fail because the inner one consumed or purged its
 * reply).  A handle closed while another call is still using it makes that
 * call fail at once with KORVEL_E_HANDLE; the port itself is released when
 * the last call using it has returned.
 *
 * No function throws across this interface, and the library prints nothing.
 */
#ifndef KORVEL_H
#define KORVEL_H

#include <stdint.h>

/* Calling convention of every export: the standard Windows convention on
 * Windows (callee pops the arguments), the platform default elsewhere. */
#if defined(_WIN32)
#define KORVEL_CALL __stdcall
#else
#define KORVEL_CALL
#endif

/* Export / import decoration. */
#if defined(_WIN32)
#if defined(KORVEL_BUILDING_LIBRARY)
#define KORVEL_API __declspec(dllexport)
#else
#define KORVEL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KORVEL_API __attribute__((visibility("default")))
#else
#define KORVEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Version.  The version of this header, which is the version of the library
 * released with it.  A program built with major version N runs with every
 * library of major version N (libkorvel.so.N) of the same or a later minor
 * version; Korvel_Version() says which one it is running with.
 * ------------------------------------------------------------------------- */
#define KORVEL_VERSION_MAJOR 1
#define KORVEL_VERSION_MINOR 1
#define KORVEL_VERSION_PATCH 0
#define KORVEL_VERSION_STRING "1.1.0" /* "MAJOR.MINOR.PATCH" */

/* ---------------------------------------------------------------------------
 * Status codes.  Every call but Korvel_CommOpenWithBaud() returns one:
 *   0            success
 *   1 .. 255     the reader refused the command; the value is its error byte
 *   negative     a failure of the port, the line or the reply
 * Korvel_StatusText() gives a status in words, Korvel_StatusName() the name
 * of its constant.  Every call that returns a status answers
 * KORVEL_E_INTERNAL when the library fails inside itself (it ran out of
 * memory, say): no failure crosses the C boundary as an exception, and such
 * a failure says nothing about the port or the reader, so it is not taken
 * for one of theirs.
 * ------------------------------------------------------------------------- */
#define KORVEL_OK 0
/* Korvel_SetCommBaud: the rate is not 4800, 9600, 19200 or 38400. */
#define KORVEL_E_BAUD (-1)
/* Framed commands: the reply's first two bytes did not arrive in 3000 ms. */
#define KORVEL_E_NO_REPLY (-101)
/* Framed commands: the reply does not start with 0x02, or its LEN is below
 * 3 (no status byte), or it announces more bytes than the reply area can
 * hold.  The bytes of a reply refused for its LEN are read away (for at most
 * 3000 ms more) so that none of them is ever taken for card data; after a
 * bad start byte the rest stays queued until the next framed command purges
 * it. */
#define KORVEL_E_FRAME (-102)
/* Framed commands: the rest of the reply did not arrive in 3000 ms. */
#define KORVEL_E_REPLY_TIMEOUT (-103)
/* Korvel_GetTrack: more than 300 bytes are waiting (nothing is read). */
#define KORVEL_E_OVERFLOW (-104)
/* Korvel_GetTrack: nothing is waiting. */
#define KORVEL_E_EMPTY (-105)
/* Korvel_CommClose: the port could not be closed (null, closed or unknown
 * handle).  Same value as KORVEL_E_EMPTY: the two never meet, since only
 * Korvel_GetTrack() answers KORVEL_E_EMPTY and only Korvel_CommClose()
 * answers KORVEL_E_CLOSE, so the call tells which is meant; and programs
 * built since 1.0 compare against -105 for both, so the value stays. */
#define KORVEL_E_CLOSE (-105)
/* The device went away during the call (hang-up, unplug, I/O error). */
#define KORVEL_E_DISCONNECTED (-108)
/* Framed commands: the reader refused the command without an error code
 * (its status byte is not 'Y', and the reply has no error byte or error
 * byte 0). */
#define KORVEL_E_REFUSED (-109)
/* The handle is null, closed or was never issued by this library. */
#define KORVEL_E_HANDLE (-110)
/* A required pointer argument is null (the card decoder of korvel_card.h
 * also answers it for an argument out of its documented range). */
#define KORVEL_E_ARGUMENT (-111)
/* The library failed inside itself (out of memory, say); never expected. */
#define KORVEL_E_INTERNAL (-112)
/* Korvel_WaitTrack, Korvel_WaitSwipe: the wait was ended by
 * Korvel_CancelWait() before a swipe began. */
#define KORVEL_E_CANCELLED (-113)

/* Mode bytes for Korvel_ReadMode() and the first byte of Korvel_Search(). */
#define KORVEL_MODE_ACTIVE 0x30u  /* '0' */
#define KORVEL_MODE_COMMAND 0x31u /* '1' */

/* Sizes of the caller's result areas. */
#define KORVEL_MODE_AREA 10u    /* Korvel_Search writes exactly 10 bytes    */
#define KORVEL_VERSION_AREA 30u /* Korvel_Reset writes exactly 30 bytes     */
#define KORVEL_DATA_AREA 300u   /* Korvel_ReadData / Korvel_GetTrack: 300   */
#define KORVEL_TRACK_RECORD 8u  /* Korvel_SetTrack reads exactly 8 bytes    */

/* ---------------------------------------------------------------------------
 * Opening and closing
 * ------------------------------------------------------------------------- */

/* Opens a serial port for the reader and returns its handle, or null
 * (Korvel_GetOpenError() then says why).
 *
 * port: zero-terminated name.  "com1", "com2", ... (any case) name the
 *   machine's serial ports (/dev/ttyS0, /dev/ttyS1, ... on Linux; COM1, ...
 *   on Windows); "rfc2217://HOST:PORT" and "tcp://HOST:PORT" name a serial
 *   port on another machine (see "Network ports" below); any other name is
 *   used as a device path as given (/dev/ttyUSB0, /dev/serial/by-id/...,
 *   /dev/pts/3).
 * baud: 4800, 9600, 19200 or 38400.  Any other value returns null at once
 *   without touching the port.
 *
 * The port is opened exclusively (a second open, from this or any other
 * process, fails until it is closed), set to raw 8-N-1 at the rate with no
 * flow control, and both directions are purged.  Anything that is not a
 * serial terminal (a regular file, a directory, /dev/null) is refused and
 * never written to.  Every failure gives null; nothing is left open.
 *
 * Network ports.  A serial port served by a network port server (ser2net on
 * Linux, or a serial device server) is used exactly as a local one: every
 * call, status, time limit, pump and thread rule of this header holds.
 *   "rfc2217://HOST:PORT"  Telnet with the COM port control option (RFC
 *       2217).  The open asks for the option and for binary transmission,
 *       sets the port to 8-N-1 at `baud` with no flow control, and succeeds
 *       only once the server has confirmed each of these settings (DTR and
 *       RTS are switched on as well, without waiting for a confirmation).
 *       The purge in front of each framed command reaches the server's
 *       buffers too, and the bytes the server sent before it confirmed
 *       that purge are dropped (the capture's purge drops what has arrived
 *       only).  Data bytes 0xFF travel doubled, as Telnet requires; Telnet
 *       commands never reach the caller's areas or the waiting count.
 *   "tcp://HOST:PORT"  The bytes as they are.  The rate is the server's
 *       (its configuration holds); `baud` must still be one of the four.
 *       Purges drop what has arrived; the server's buffers are its own.
 *       A server that cannot serve the connection closes it at once: the
 *       open waits for that verdict briefly (about twice the time the
 *       connection took, 50 to 500 ms).
 * HOST is a host name, an IPv4 address or an IPv6 address in brackets
 * ("rfc2217://[::1]:7000"); the scheme may be written in any case.  The
 * connection must be made within 3 s (over every address of the name; name
 * resolution is the system's, and can take longer when no name server
 * answers), and the server must confirm the RFC 2217 settings within 3 s
 * more.  The open blocks the calling thread meanwhile (no pump runs).
 * Exclusivity is the server's to give: ser2net serves one connection per
 * port unless configured otherwise, and turns a second one away (the open
 * then fails with KORVEL_OPEN_BUSY).  The connection closing or failing is
 * the device going away (KORVEL_E_DISCONNECTED).
 * Whatever the server sends, the limits hold: the open ends within the
 * 3 s + 3 s above, a framed command within its 3000 ms + 3000 ms (plus, for
 * a server that does not take the request, at most 400 ms and 40 ms a byte
 * to send it, as on a local port), a capture within its limits as on a
 * local port, and a close from another thread ends any call at once.
 * Endless data or Telnet commands hold no call longer.  Each Telnet request
 * of the server's is answered once (RFC 1143: a request repeated, or for
 * what is already agreed, gets no second answer); a server that keeps
 * asking for answers and does not read them is taken for gone
 * (KORVEL_E_DISCONNECTED).
 * Neither protocol has authentication or encryption: card data crosses the
 * network in the clear, so keep such ports on a trusted network or inside a
 * tunnel (ssh -L). */
KORVEL_API void* KORVEL_CALL Korvel_CommOpenWithBaud(const char* port, uint32_t baud);

/* Closes the handle.  Sends nothing to the reader and does not purge.
 * Returns KORVEL_OK, or KORVEL_E_CLOSE (-105) for a null, already closed or
 * unknown handle.  After it returns the handle is dead for every call. */
KORVEL_API int KORVEL_CALL Korvel_CommClose(void* handle);

/* ---------------------------------------------------------------------------
 * Framed commands.  Each purges both directions, sends one request frame and
 * waits for the reply (see "Waiting" above).  Returns KORVEL_OK (the reply's
 * status byte is 'Y'), the reader's error byte (1..255), KORVEL_E_REFUSED,
 * KORVEL_E_NO_REPLY, KORVEL_E_FRAME, KORVEL_E_REPLY_TIMEOUT,
 * KORVEL_E_DISCONNECTED, KORVEL_E_HANDLE or KORVEL_E_ARGUMENT.  The caller's
 * area is written only with KORVEL_OK; on every other outcome it is left as
 * it was.
 * ------------------------------------------------------------------------- */

/* Sets the reading mode: KORVEL_MODE_ACTIVE ('0') or KORVEL_MODE_COMMAND
 * ('1').  The low byte of mode is sent as it is, without validation. */
KORVEL_API int KORVEL_CALL Korvel_ReadMode(void* handle, uint32_t mode);

/* Queries the reading mode.  result: at least 10 bytes.  On success exactly
 * 10 bytes are written: reply bytes 5 to 14 (the mode byte first, then
 * whatever followed it in the reply, zero past the reply's end). */
KORVEL_API int KORVEL_CALL Korvel_Search(void* handle, unsigned char* result);

/* Reads the reader's identification text.  text: at least 30 bytes.  On
 * success the first 30 bytes are zeroed and the text is copied to the start,
 * cut to 29 bytes so that it is always zero-terminated inside the 30. */
KORVEL_API int KORVEL_CALL Korvel_Reset(void* handle, unsigned char* text);

/* Reads the card data the reader holds (command mode).  data: at least 300
 * bytes.  On success all 300 bytes are zeroed and the data copied to the
 * start (at most 248 bytes, so it is zero-terminated). */
KORVEL_API int KORVEL_CALL Korvel_ReadData(void* handle, unsigned char* data);

/* Tells the reader to change its own line rate.  Returns KORVEL_E_BAUD at
 * once, before the handle is looked at or the port touched, for a rate other
 * than 4800, 9600, 19200 or 38400.  The host port keeps its rate: close it
 * and open it again at the new rate to reach the reader. */
KORVEL_API int KORVEL_CALL Korvel_SetCommBaud(void* handle, uint32_t baud);

/* Sends the eight-byte track output settings record unchanged:
 *   [0] track 1 start sentinel  [1] track 1 end sentinel
 *   [2] track 2 start sentinel  [3] track 2 end sentinel
 *   [4] track 3 start sentinel  [5] track 3 end sentinel
 *   [6] '7' (fixed)             [7] Enter mark: '1' on, '0' off */
KORVEL_API int KORVEL_CALL Korvel_SetTrack(void* handle, const unsigned char* record);

/* ---------------------------------------------------------------------------
 * Active-mode capture
 * ------------------------------------------------------------------------- */

/* Collects the bytes a reader in active mode sent by itself.  data: 300
 * bytes.  Returns KORVEL_E_EMPTY at once when nothing is waiting.  Otherwise
 * waits in steps of 50 ms (running the pump) until a step brings nothing new;
 * then, if more than 300 bytes are waiting, returns KORVEL_E_OVERFLOW and
 * leaves them in the input queue (the next framed command purges them);
 * else zeroes the 300 bytes, copies the bytes exactly as received to the
 * start, purges the input queue and returns KORVEL_OK.  With exactly 300
 * bytes there is no terminating zero inside the area.  May also return
 * KORVEL_E_DISCONNECTED, KORVEL_E_HANDLE or KORVEL_E_ARGUMENT. */
KORVEL_API int KORVEL_CALL Korvel_GetTrack(void* handle, unsigned char* data);

/* Korvel_WaitTrack's timeout for "no limit". */
#define KORVEL_WAIT_FOREVER 0xFFFFFFFFu

/* Waits for a swipe instead of polling for one: sleeps in the operating
 * system (running the pump as every wait does, see "Waiting" above) until
 * the first byte of a burst arrives or timeout_ms milliseconds pass, then
 * collects the burst exactly as Korvel_GetTrack() does (50 ms settle steps,
 * the 300-byte limit, the purge after it).  data: 300 bytes, written only
 * with KORVEL_OK.  timeout_ms: 0 looks once, as Korvel_GetTrack() does;
 * KORVEL_WAIT_FOREVER waits without a limit.  A program waiting for swipes
 * all day costs next to no CPU.
 *
 * Returns
 *   KORVEL_OK               a burst was collected
 *   KORVEL_E_EMPTY          nothing was swiped before the timeout
 *   KORVEL_E_OVERFLOW       the burst went over 300 bytes.  Unlike
 *                           Korvel_GetTrack(), the burst is then read away
 *                           (for as long as it keeps coming, up to 3000 ms)
 *                           so that the next call waits for the next swipe
 *                           instead of reporting the same overflow again
 *   KORVEL_E_DISCONNECTED   the device went away (at once, not at the timeout)
 *   KORVEL_E_HANDLE         bad handle, or the handle was closed by another
 *                           thread during the wait (the wait ends at once)
 *   KORVEL_E_ARGUMENT       data is null
 *   KORVEL_E_CANCELLED      Korvel_CancelWait() ended the wait before a
 *                           swipe began (a swipe already arriving is
 *                           collected and returned first)
 * The reader must be in active mode (Korvel_ReadMode with KORVEL_MODE_ACTIVE)
 * to send swipes by itself. */
KORVEL_API int KORVEL_CALL Korvel_WaitTrack(void* handle, unsigned char* data, uint32_t timeout_ms);

/* The tracks a reader is set to send, for Korvel_WaitSwipe() and
 * Korvel_SwipeComplete(). */
#define KORVEL_TRACKS_1 1u
#define KORVEL_TRACKS_2 2u
#define KORVEL_TRACKS_3 4u

/* Ends a Korvel_WaitTrack() or Korvel_WaitSwipe() that is waiting for a swipe
 * on the handle, from any thread, without closing the handle: that wait
 * returns KORVEL_E_CANCELLED at once.  When no such wait is in progress, the
 * next one on the handle ends so at once instead (one cancel ends one wait),
 * so that a program that cancels a reader thread's wait in order to give it
 * other work never misses because the thread was between two waits.  Other
 * calls neither see nor take a cancel.  Does not wait for the handle's other
 * calls.  Returns KORVEL_OK or KORVEL_E_HANDLE. */
KORVEL_API int KORVEL_CALL Korvel_CancelWait(void* handle);

/* The number of bytes at the start of bytes[0..count) that make one whole
 * swipe, as a reader sends it with the track output settings record
 * (record, the eight bytes of Korvel_SetTrack()) and the tracks it is set to
 * send (tracks, KORVEL_TRACKS_* bits): each of those tracks from its start
 * sentinel to its end sentinel, followed by CR LF when the record's Enter
 * mark is '1', in track order; a track that is not in tracks but is sent
 * whole in between is passed over.  The swipe ends with the last track of
 * tracks.  Returns 0 while the swipe is not complete, when the bytes do not
 * have that shape (a malformed swipe, a card without one of the tracks), when
 * a sentinel of one of the tracks is 0 ("none"), or when an argument is null
 * or tracks is 0.  Pure: touches no port; any thread, any time. */
KORVEL_API uint32_t KORVEL_CALL Korvel_SwipeComplete(const unsigned char* bytes, uint32_t count,
                                                     const unsigned char* record, unsigned tracks);

/* Korvel_WaitTrack() that knows what a swipe looks like: with the record and
 * tracks the reader was set to send (as for Korvel_SwipeComplete()), the
 * burst ends as soon as its bytes make a whole swipe, instead of after 50 ms
 * of quiet, and bytes that come after it are left for the next call (which
 * returns them as a burst of their own).  A burst that does not make a whole
 * swipe (a malformed swipe, a card without one of the tracks, a reader that
 * sends other tracks first) ends after 50 ms of quiet as in
 * Korvel_WaitTrack(), and so does every burst when record is null or tracks
 * is 0.  data: 300 bytes, zeroed and written only with KORVEL_OK; count: the
 * number of bytes written (set only with KORVEL_OK).  Returns what
 * Korvel_WaitTrack() returns; KORVEL_E_ARGUMENT when data or count is null. */
KORVEL_API int KORVEL_CALL Korvel_WaitSwipe(void* handle, unsigned char* data, uint32_t timeout_ms,
                                            const unsigned char* record, unsigned tracks, uint32_t* count);

/* ---------------------------------------------------------------------------
 * Extensions
 * ------------------------------------------------------------------------- */

/* Type of a message pump: called with the context given at registration.
 * It uses the platform's default C calling convention. */
typedef void (*Korvel_Pump)(void* context);

/* Sets the caller's event pump for this handle (null removes it).  The pump
 * runs on the calling thread during every wait of every call on the handle
 * (reply waits, capture settle steps, and waits for another thread's call on
 * the handle), at least every 10 ms, but never from inside itself (see
 * "Waiting" above).  It must not block.  The pump is looked up afresh each
 * time it is due: once Korvel_SetMessagePump() has returned, a waiting call
 * on any thread runs the new pump (or none) from its next turn on; only a
 * run of the old pump already under way on another thread finishes.  A pump
 * set while a call without one waits is first run when that call next wakes
 * (input, or at most 1000 ms).  Returns KORVEL_OK or KORVEL_E_HANDLE. */
KORVEL_API int KORVEL_CALL Korvel_SetMessagePump(void* handle, Korvel_Pump pump, void* context);

/* A static, never-null English text for any status value (unknown negative
 * values and the reader's error bytes included). */
KORVEL_API const char* KORVEL_CALL Korvel_StatusText(int status);

/* The name of a status's constant in this header, a static, never-null,
 * stable identifier for logs and programs: "KORVEL_OK", "KORVEL_E_NO_REPLY"
 * and so on.  -105 is named "KORVEL_E_EMPTY" (KORVEL_E_CLOSE shares its
 * value).  A reader's error byte (1 to 255) is "KORVEL_READER_ERROR", any
 * other value "KORVEL_UNKNOWN".  Any thread may call it at any time.
 * Since 1.1.0. */
KORVEL_API const char* KORVEL_CALL Korvel_StatusName(int status);

/* The version of the library the program is running with, as
 * "MAJOR.MINOR.PATCH" (a static, never-null text; it may be later than the
 * KORVEL_VERSION_STRING the program was built with).  Takes no handle, needs
 * no port, never fails; any thread may call it at any time. */
KORVEL_API const char* KORVEL_CALL Korvel_Version(void);

/* Why the last Korvel_CommOpenWithBaud() of the calling thread gave null.
 * Every open sets it, a successful one to KORVEL_OPEN_OK; other threads'
 * opens do not touch it. */
#define KORVEL_OPEN_OK 0         /* the last open succeeded, or none was made */
#define KORVEL_OPEN_ARGUMENT 1   /* the port name is null or empty */
#define KORVEL_OPEN_BAUD 2       /* the rate is not 4800, 9600, 19200 or 38400 */
#define KORVEL_OPEN_ABSENT 3     /* no such device */
#define KORVEL_OPEN_BUSY 4       /* the port is in use (by any program, this one included) */
#define KORVEL_OPEN_PERMISSION 5 /* the user may not read and write the device */
#define KORVEL_OPEN_NOT_SERIAL 6 /* the name is not a serial port (a file, a directory, /dev/null) */
#define KORVEL_OPEN_CONFIG 7     /* the port refused the line settings */
#define KORVEL_OPEN_SYSTEM 8     /* another failure of the operating system */
#define KORVEL_OPEN_NETWORK                                             \
  9 /* network ports: the server could not be reached in time (timeout, \
       no route), closed the connection during the open, refused        \
       the COM port control option, or did not confirm the settings     \
       in time.  For network ports the other reasons mean: ARGUMENT     \
       a name with a network scheme that does not parse; ABSENT the     \
       host name is unknown or nothing listens on the port              \
       (connection refused); BUSY the server turned the connection      \
       away because the port is in use; CONFIG the server set           \
       another value than the one asked for (the rate, say). */

/* Size of the two texts of Korvel_OpenError, terminating zero included. */
#define KORVEL_OPEN_TEXT 256u

typedef struct Korvel_OpenError {
  int reason;                    /* KORVEL_OPEN_* */
  int system_error;              /* the system's error number (errno; GetLastError() or
                                    WSAGetLastError() on Windows) behind the reason, 0 when
                                    there is none */
  char device[KORVEL_OPEN_TEXT]; /* what the name stood for ("com1" is
                                    "/dev/ttyS0" on Linux; a network name
                                    stands for itself); empty for BAUD and
                                    for a null or empty name */
  char text[KORVEL_OPEN_TEXT];   /* one line of English naming the device and
                                    the reason, e.g. "/dev/ttyS0: Permission
                                    denied"; empty for KORVEL_OPEN_OK */
} Korvel_OpenError;

/* Returns the reason of the last open on the calling thread (KORVEL_OPEN_*)
 * and, when error is not null, fills the whole record (texts zero-terminated,
 * cut to fit).  Never fails. */
KORVEL_API int KORVEL_CALL Korvel_GetOpenError(Korvel_OpenError* error);

#ifdef __cplusplus
}
#endif

#endif /* KORVEL_H */
