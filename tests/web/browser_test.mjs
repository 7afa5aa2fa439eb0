// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The status page and korvel.js in the system's headless Chromium, against
// the real korveld that korveld_web_tests started.  That program does what
// this script asks on its stdout ("@@ swipe N", "@@ restart") and answers
// "ok" on stdin.  Usage:
//   node browser_test.mjs PORT TILL_PORT FOREIGN_PORT OUT_DIR LIMIT_MS
// PORT: korveld's web side; TILL_PORT: a till page's origin, listed in
// [web] origins; FOREIGN_PORT: a page's origin that is not.  Exit 0: passed.
import http from "node:http";
import fs from "node:fs";
import path from "node:path";
import readline from "node:readline";
import puppeteer from "puppeteer-core";

const [port, tillPort, foreignPort, outDir, limitText] = process.argv.slice(2);
const limitMs = Number(limitText || 1000);
const service = `http://127.0.0.1:${port}`;

const lines = [];
let waiting = null;
readline.createInterface({ input: process.stdin }).on("line", (line) => {
  if (waiting) {
    const resolve = waiting;
    waiting = null;
    resolve(line);
  } else {
    lines.push(line);
  }
});
function ask(command) {
  process.stdout.write(`@@ ${command}\n`);
  return new Promise((resolve) => (lines.length ? resolve(lines.shift()) : (waiting = resolve)));
}
function check(condition, what) {
  if (!condition) throw new Error(what);
  console.log(`ok: ${what}`);
}

// The README's till: a payment form filled from a swipe.
const till = `<!doctype html><meta charset="utf-8"><title>till</title>
<form><input id="number" readonly> <input id="expiry" readonly></form>
<script type="module">
import { connect } from "${service}/korvel.js";
const korvel = connect();
korvel.onConnection((up) => (document.body.dataset.connected = up));
korvel.onSwipe((card) => {
  if (!card) return;
  document.getElementById("number").value = card.account ?? "";
  document.getElementById("expiry").value = card.expiration ?? "";
});
</script>`;
// The same from an origin korveld does not list, trying every way in.
const foreign = `<!doctype html><meta charset="utf-8"><title>foreign</title><pre id="out"></pre>
<script type="module">
const out = document.getElementById("out");
const note = (text) => (out.textContent += text + "\\n");
try { await import("${service}/korvel.js"); note("import: loaded"); } catch { note("import: refused"); }
try { const r = await fetch("${service}/v1/readers"); note("fetch: " + (await r.text())); } catch { note("fetch: refused"); }
await new Promise((done) => {
  const ws = new WebSocket("ws://127.0.0.1:${port}/v1/ws");
  ws.onopen = () => { note("ws: open"); done(); };
  ws.onerror = () => { note("ws: refused"); done(); };
});
document.body.dataset.done = "yes";
</script>`;

function serve(listenPort, page) {
  const server = http.createServer((request, response) => {
    response.writeHead(200, { "Content-Type": "text/html; charset=utf-8" });
    response.end(page);
  });
  return new Promise((resolve) => server.listen(Number(listenPort), "127.0.0.1", () => resolve(server)));
}

const servers = [await serve(tillPort, till), await serve(foreignPort, foreign)];
fs.mkdirSync(outDir, { recursive: true });
const profile = fs.mkdtempSync(path.join(outDir, "profile-"));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  headless: true,
  userDataDir: profile,
  args: [
    "--no-sandbox",
    "--disable-gpu",
    "--disable-dev-shm-usage",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
  ],
});

let failed = false;
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 900, height: 800 });
  const requests = [];
  const errors = [];
  page.on("request", (request) => requests.push(request.url()));
  page.on("console", (message) => message.type() === "error" && errors.push(message.text()));
  page.on("pageerror", (error) => errors.push(String(error)));
  await page.goto(`${service}/`);
  const lane = 'section[data-reader="lane1"]';
  await page.waitForSelector(`${lane} .state.ready`, { timeout: 20000 });
  check(true, "the page lists lane1, ready");

  // A swipe appears in the page, masked, with its checks, within the limit.
  const shows = (selector, expected) => {
    const node = document.querySelector(`${selector} [data-field=account]`);
    return node && node.textContent === expected && document.querySelectorAll(`${selector} .checks li`).length > 0;
  };
  await ask("swipe 0");
  let start = Date.now();
  await page.waitForFunction(shows, { timeout: limitMs }, lane, "411111******1111");
  check(true, `the masked number and the checks were in the DOM ${Date.now() - start} ms after the swipe`);
  check(await page.$(`${lane} .checks li.passed[data-check=account_check_digit]`), "its check digit passed");
  check(await page.$eval(`${lane} [data-field=good]`, (n) => n.textContent) === "1", "one good swipe");

  await ask("swipe 4");  // the wrong check digit
  start = Date.now();
  await page.waitForFunction(shows, { timeout: limitMs }, lane, "411111******1112");
  check(await page.$(`${lane} .checks li.failed[data-check=account_check_digit]`), "the failed check is shown as failed");
  check(await page.$eval(`${lane} [data-field=failed]`, (n) => n.textContent) === "1", "one failed swipe");
  const html = await page.content();
  check(!html.includes("4111111111111112") && !html.includes("4111111111111111"), "no card number in full");
  check(requests.every((url) => url.startsWith(service) || url.startsWith("data:")), "no request beyond korveld");
  check(errors.length === 0, `no errors in the page (${errors.join("; ")})`);

  // A page opened after the swipe shows it.
  const later = await browser.newPage();
  await later.goto(`${service}/`);
  await later.waitForFunction(shows, { timeout: 20000 }, lane, "411111******1112");
  check(true, "a page opened later shows the last swipe");
  await page.screenshot({ path: path.join(outDir, "status.png"), fullPage: true });
  await later.setViewport({ width: 360, height: 740 });
  await later.screenshot({ path: path.join(outDir, "status-small.png"), fullPage: true });
  await later.close();

  // The service stops and starts again: the page reconnects by itself.
  await ask("stop");
  await page.waitForFunction(() => document.body.dataset.connected === "no", { timeout: 20000 });
  check(true, "the page saw the service go");
  await ask("start");
  await page.waitForFunction(() => document.body.dataset.connected === "yes", { timeout: 30000 });
  await page.waitForSelector(`${lane} .state.ready`, { timeout: 20000 });
  await ask("swipe 1");
  await page.waitForFunction(shows, { timeout: 20000 }, lane, "555555******4444");
  check(true, "reconnected by itself, and swipes come again");

  // A till page of a listed origin fills its form; a foreign page gets nothing.
  const tillPage = await browser.newPage();
  await tillPage.goto(`http://127.0.0.1:${tillPort}/`);
  await tillPage.waitForFunction(() => document.body.dataset.connected === "true", { timeout: 20000 });
  await ask("swipe 0");
  await tillPage.waitForFunction(() => document.getElementById("number").value === "411111******1111", {
    timeout: 20000,
  });
  const expiry = await tillPage.$eval("#expiry", (n) => n.value);
  check(expiry !== "", `the till's form has the masked number and the expiry (${expiry})`);
  await tillPage.screenshot({ path: path.join(outDir, "till.png") });

  const foreignPage = await browser.newPage();
  await foreignPage.goto(`http://127.0.0.1:${foreignPort}/`);
  await foreignPage.waitForFunction(() => document.body.dataset.done === "yes", { timeout: 20000 });
  const seen = await foreignPage.$eval("#out", (n) => n.textContent);
  check(seen.includes("import: refused") && seen.includes("fetch: refused") && seen.includes("ws: refused"),
        `a page of a foreign origin is refused (${seen.trim().replace(/\n/g, ", ")})`);
  check(!seen.includes("lane1") && !seen.includes("411111"), "and gets no data");
} catch (error) {
  failed = true;
  console.log(`FAILED: ${error.message}`);
} finally {
  await browser.close();
  for (const server of servers) server.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
