// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// For korveld-web-bench: opens korveld's status page in headless Chromium and
// notes (wall clock, ms) every time lane r's masked account changes in the
// DOM.  Prints "ready", then on "done" from stdin the times on one line.
//   node web_dom_bench.mjs PORT
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";
import { createRequire } from "node:module";

const require = createRequire(new URL("../tests/web/", import.meta.url));
const puppeteer = (await import(require.resolve("puppeteer-core"))).default;
const port = process.argv[2];
const profile = fs.mkdtempSync(path.join(os.tmpdir(), "korveld-bench-profile-"));
const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  headless: true,
  userDataDir: profile,
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
const page = await browser.newPage();
await page.goto(`http://127.0.0.1:${port}/`);
await page.waitForSelector('section[data-reader="r"] .state.ready', { timeout: 30000 });
await page.evaluate(() => {
  window.times = [];
  let last = null;
  new MutationObserver(() => {
    const node = document.querySelector('section[data-reader="r"] [data-field=account]');
    const text = node && node.textContent;
    if (text && text !== last) {
      last = text;
      window.times.push(performance.timeOrigin + performance.now());
    }
  }).observe(document.getElementById("readers"), { subtree: true, childList: true, characterData: true });
});
console.log("ready");
readline.createInterface({ input: process.stdin }).on("line", async () => {
  const times = await page.evaluate(() => window.times);
  console.log(times.join(" "));
  await browser.close();
  fs.rmSync(profile, { recursive: true, force: true });
  process.exit(0);
});
