// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The status page: every reader and its last swipe (masked), live.
import { connect } from "./korvel.js";

const list = document.getElementById("readers");
const link = document.getElementById("link");
const korvel = connect();

function text(tag, content, className) {
  const node = document.createElement(tag);
  node.textContent = content;
  if (className) node.className = className;
  return node;
}

function localTime(iso) {
  if (!iso) return "never";
  const when = new Date(iso);
  return isNaN(when) ? iso : when.toLocaleString();
}

function fields(pairs) {
  const dl = document.createElement("dl");
  for (const [name, value, key] of pairs) {
    dl.append(text("dt", name));
    const dd = text("dd", value === null || value === undefined || value === "" ? "—" : String(value));
    dd.dataset.field = key;
    dl.append(dd);
  }
  return dl;
}

function swipeBlock(swipe) {
  const block = document.createElement("div");
  block.className = "swipe";
  if (!swipe) {
    block.append(text("p", "No swipe yet.", "none"));
    return block;
  }
  const card = swipe.card || {};
  block.append(text("h3", "Last swipe, " + localTime(swipe.time)));
  if (!swipe.ok) block.append(text("p", swipe.reason || swipe.status_text, "bad"));
  block.append(
    fields([
      ["Account", card.account, "account"],
      ["Name", card.name, "name"],
      ["Expires", card.expiration, "expiration"],
      ["Service code", card.service_code, "service_code"],
    ]),
  );
  if (card.checks)
    block.append(text("p", `Checks: ${card.checks_passed} passed, ${card.checks_failed} failed`,
      card.checks_failed > 0 ? "summary bad" : "summary"));
  const checks = document.createElement("ul");
  checks.className = "checks";
  for (const [name, check] of Object.entries(card.checks || {})) {
    const item = text("li", name + ": " + check.result + (check.reason ? " (" + check.reason + ")" : ""),
      check.result);
    item.dataset.check = name;
    checks.append(item);
  }
  block.append(checks);
  return block;
}

function render(reader) {
  let section = list.querySelector(`section[data-reader="${CSS.escape(reader.name)}"]`);
  if (!section) {
    section = document.createElement("section");
    section.dataset.reader = reader.name;
    list.append(section);
    document.getElementById("empty").hidden = true;
  }
  const heading = text("h2", reader.name);
  const state = text("span", reader.state || "unknown", "state " + (reader.state || ""));
  state.dataset.field = "state";
  heading.append(" ", state);
  section.replaceChildren(
    heading,
    fields([
      ["Identification", reader.identification, "identification"],
      ["Port", reader.port, "port"],
      ["Rate", reader.baud ? reader.baud + " baud" : null, "baud"],
      ["Why", reader.reason, "reason"],
      ["Last swipe", localTime(reader.last_swipe && reader.last_swipe.time), "last_time"],
      ["Good swipes", reader.swipes_good ?? 0, "good"],
      ["Failed swipes", reader.swipes_failed ?? 0, "failed"],
    ]),
    swipeBlock(reader.last_swipe),
  );
}

korvel.onReader(render);
korvel.onConnection((up) => {
  link.textContent = up ? "connected" : "reconnecting…";
  link.className = up ? "up" : "down";
  document.body.dataset.connected = up ? "yes" : "no";
});
