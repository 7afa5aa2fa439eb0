// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel.js: swipes in a web page, from korveld's WebSocket (korveld(8)).
// One ES module, no dependencies.  Card data is masked: the service never
// sends it in full over the web.
//
//   import { connect } from "http://127.0.0.1:8931/korvel.js";
//   const korvel = connect();               // korveld's own address by default
//   korvel.onSwipe((card, swipe) => ...);   // card: account, expiration, name, checks, ...
//   korvel.onReader((reader) => ...);       // name, state, identification, port, baud, ...
//   korvel.readers();                       // what is known now
//
// It reconnects by itself (from a quarter of a second, doubling up to ten
// seconds) whenever the service goes away and comes back.

const FIRST_DELAY_MS = 250;
const LAST_DELAY_MS = 10000;

class Korvel {
  constructor(url) {
    this.url = url;
    this.swipeHandlers = new Set();
    this.readerHandlers = new Set();
    this.connectionHandlers = new Set();
    this.known = new Map();
    this.pending = new Map();
    this.nextId = 1;
    this.delay = FIRST_DELAY_MS;
    this.closed = false;
    this.connected = false;
    this.open();
  }

  // fn(card, swipe) for every swipe of a subscribed reader; card is null when
  // the swipe could not be decoded.  Returns a function that stops the calls.
  onSwipe(fn) {
    this.swipeHandlers.add(fn);
    return () => this.swipeHandlers.delete(fn);
  }

  // fn(reader) whenever a reader's entry changes (state, counts, last swipe).
  onReader(fn) {
    this.readerHandlers.add(fn);
    for (const reader of this.known.values()) fn(reader);
    return () => this.readerHandlers.delete(fn);
  }

  // fn(true|false) when the connection to the service opens or is lost.
  onConnection(fn) {
    this.connectionHandlers.add(fn);
    fn(this.connected);
    return () => this.connectionHandlers.delete(fn);
  }

  // The readers as last heard of (the service's `readers` entries).
  readers() {
    return [...this.known.values()];
  }

  // Sends a request of the socket protocol; resolves with its result.
  request(fields) {
    return new Promise((resolve, reject) => {
      if (!this.connected) return reject(new Error("korveld is not connected"));
      const id = this.nextId++;
      this.pending.set(id, resolve);
      this.socket.send(JSON.stringify({ ...fields, id }));
    });
  }

  close() {
    this.closed = true;
    clearTimeout(this.timer);
    if (this.socket) this.socket.close();
  }

  open() {
    const socket = new WebSocket(this.url);
    this.socket = socket;
    socket.onopen = () => {
      this.delay = FIRST_DELAY_MS;
      this.setConnected(true);
      this.refresh();
      this.request({ request: "subscribe" }).catch(() => {});
    };
    socket.onmessage = (message) => {
      let event;
      try {
        event = JSON.parse(message.data);
      } catch {
        return;
      }
      this.received(event);
    };
    socket.onclose = () => {
      this.socket = null;
      for (const resolve of this.pending.values()) resolve({ ok: false, error: "disconnected" });
      this.pending.clear();
      this.setConnected(false);
      if (this.closed) return;
      this.timer = setTimeout(() => this.open(), this.delay);
      this.delay = Math.min(this.delay * 2, LAST_DELAY_MS);
    };
  }

  setConnected(connected) {
    if (this.connected === connected) return;
    this.connected = connected;
    for (const fn of this.connectionHandlers) fn(connected);
  }

  refresh() {
    this.request({ request: "readers" })
      .then((result) => {
        if (!result.ok) return;
        const names = new Set();
        for (const reader of result.readers) {
          names.add(reader.name);
          this.update(reader);
        }
        for (const name of [...this.known.keys()]) if (!names.has(name)) this.known.delete(name);
      })
      .catch(() => {});
  }

  update(reader) {
    const entry = { ...(this.known.get(reader.name) || {}), ...reader };
    this.known.set(reader.name, entry);
    for (const fn of this.readerHandlers) fn(entry);
  }

  received(event) {
    if (event.event === "result" && this.pending.has(event.id)) {
      const resolve = this.pending.get(event.id);
      this.pending.delete(event.id);
      resolve(event);
    } else if (event.event === "swipe") {
      const before = this.known.get(event.reader) || { name: event.reader };
      const failed = !event.ok || (event.card && event.card.checks_failed > 0);
      this.update({
        name: event.reader,
        swipes: (before.swipes || 0) + 1,
        swipes_good: (before.swipes_good || 0) + (failed ? 0 : 1),
        swipes_failed: (before.swipes_failed || 0) + (failed ? 1 : 0),
        last_swipe: event,
      });
      for (const fn of this.swipeHandlers) fn(event.card || null, event);
    } else if (event.event === "reader") {
      this.update({ name: event.reader, state: event.state, reason: event.reason });
      // The identification and settings come with the readers' list.
      this.refresh();
    }
  }
}

// Connects to korveld.  options.url: its WebSocket (default: /v1/ws of the
// service this module was loaded from); options.token: the bearer token
// when the service asks for one.
export function connect(options = {}) {
  const url = new URL(options.url || "/v1/ws", import.meta.url);
  if (url.protocol === "http:") url.protocol = "ws:";
  if (url.protocol === "https:") url.protocol = "wss:";
  if (options.token) url.searchParams.set("access_token", options.token);
  return new Korvel(url.toString());
}
