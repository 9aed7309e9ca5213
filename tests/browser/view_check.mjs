// Watches the bench's view in Debian's chromium while tests/view_test.cpp
// runs a bench on emulated panels, and judges what a person at the bench
// would see: every tile through its service, each change on the page
// within 1 s of the bench publishing it, the final states, the worn
// panel's step and cause, the ignored port muted, the history equal to
// `panel_tool history --json`, the banner when the bench stops and its
// going when it starts again (no reload), and no console error or CSP
// violation. It tells the test when to stop and start the bench by lines
// on standard output ("STOP-BENCH", "START-BENCH"), ends with "RESULT ok"
// or each fault found, and exits 0 only when there is none. It says
// "WATCHING" once it watches, for the test to plug the panels in.
//
//   node view_check.mjs URL LIVE RECORD TOOL SCREENSHOT EXPECTED
//
// EXPECTED is JSON: {"ports": {port: {"state", "label", "cause"}},
// "ignored": port}.
import { chromium } from 'playwright-core';
import { readFileSync } from 'node:fs';
import { execFileSync } from 'node:child_process';

const [url, livePath, record, tool, screenshot, expectedText] = process.argv.slice(2);
const expected = JSON.parse(expectedText);
const faults = [];
const fault = (text) => faults.push(text);
const now = () => performance.now();
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// Whatever stops the check is said on standard output, which the test
// shows.
process.on('uncaughtException', (e) => { console.log('FAULT ' + String(e)); process.exit(1); });
const consoleErrors = [];
// Chromium, started beside the kernel machines or the sanitizer run, may
// take longer than playwright's 30 s to start; and now and then under
// such load it starts wedged: its first page never reaches the network,
// not even in a second tab, while the view answers anyone else at once.
// As a person would, the check starts it again, up to three times, and
// says so. The test waits four minutes for "WATCHING".
const openPage = async () => {
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu'],
    timeout: 140000,
  });
  const page = await browser.newPage({ viewport: { width: 1100, height: 900 } });
  page.setDefaultTimeout(60000);
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => consoleErrors.push(String(e)));
  await page.addInitScript(() => {
    window.__violations = [];
    document.addEventListener('securitypolicyviolation', (e) =>
      window.__violations.push(e.violatedDirective + ' ' + e.blockedURI));
  });
  return { browser, page };
};
let browser, page;
for (let attempt = 1; ; ++attempt) {
  ({ browser, page } = await openPage());
  try {
    await page.goto(url, { timeout: 20000 });
    break;
  } catch (e) {
    if (attempt === 3)
      throw e;
    console.log(`RETRY chromium's page did not load (${String(e).split('\n')[0]}): chromium started again`);
    await Promise.race([browser.close().catch(() => {}), sleep(5000)]);
  }
}
await page.evaluate(() => { window.__sameDocument = true; });

// Each tile as the page shows it: port -> {state words, classes, text}.
const tiles = () => page.evaluate(() => {
  const shown = {};
  for (const tile of document.querySelectorAll('section.tile')) {
    shown[tile.dataset.port] = {
      state: tile.querySelector('.state').textContent,
      classes: tile.className,
      text: tile.textContent,
      progress: tile.querySelector('progress') !== null,
      opacity: Number(getComputedStyle(tile).opacity),
    };
  }
  return shown;
});
const readLive = () => {
  try { return JSON.parse(readFileSync(livePath, 'utf8')); } catch { return null; }
};
// The words a tile gives a state (page.cpp).
const words = {
  'waiting': 'plugged in, waiting its turn', 'ignored': "not one of the bench's ports: ignored",
  'already held': 'already held: nothing written', 'written': 'written (not verified)',
  'mismatch': 'failed: the panel does not hold the file',
};
const wordsOf = (state) => words[state] ?? state;

// Until every socket has ended: each state the bench publishes, and when
// the page first shows it.
const published = {};  // port -> [{state, at}]
const shownAt = {};    // port -> {state words -> first time}
const sawProgress = {};
console.log('WATCHING');
const until = now() + 90000;
let done = false;
while (!done && now() < until) {
  const live = readLive();
  const at = now();
  for (const s of live?.sockets ?? []) {
    const list = (published[s.port] ??= []);
    if (list.length === 0 || list[list.length - 1].state !== s.state)
      list.push({ state: s.state, at });
  }
  const shown = await tiles();
  const seen = now();
  for (const [port, tile] of Object.entries(shown)) {
    (shownAt[port] ??= {})[tile.state] ??= seen;
    if (tile.progress && /\d+\/\d+ pages, \d+ %/.test(tile.text))
      sawProgress[port] = true;
  }
  done = Object.entries(expected.ports).every(([port, want]) => shown[port]?.state === wordsOf(want.state));
  await sleep(20);
}
if (!done)
  fault('not every socket ended as expected within 90 s: ' + JSON.stringify(await tiles()));
console.log('SERVICED');

let changes = 0, slowest = 0;
for (const [port, list] of Object.entries(published)) {
  for (const change of list) {
    const first = shownAt[port]?.[wordsOf(change.state)];
    ++changes;
    if (first === undefined)
      fault(`port ${port}: the page never showed "${change.state}"`);
    else if (first - change.at > 1000)
      fault(`port ${port}: "${change.state}" reached the page ${Math.round(first - change.at)} ms after the bench`);
    else
      slowest = Math.max(slowest, first - change.at);
  }
}
console.log(`CHANGES ${changes}, the slowest on the page ${Math.round(slowest)} ms after the bench`);
const final = await tiles();
for (const [port, want] of Object.entries(expected.ports)) {
  const tile = final[port];
  if (!tile) { fault(`no tile for port ${port}`); continue; }
  if (!sawProgress[port] && want.state !== 'already held')
    fault(`port ${port}: no progress shown while it was serviced`);
  if (want.label && !tile.text.includes(want.label))
    fault(`port ${port}: its label "${want.label}" not shown`);
  if (want.cause && !tile.text.includes(want.cause))
    fault(`port ${port}: "${want.cause}" not shown: ${tile.text}`);
  if (want.cure && !tile.text.includes(want.cure))
    fault(`port ${port}: "${want.cure}" not shown: ${tile.text}`);
  if (!/ended \d\d:\d\d:\d\d UTC, in \d+\.\d s/.test(tile.text))
    fault(`port ${port}: no end time and seconds: ${tile.text}`);
}
const ignored = final[expected.ignored];
if (!ignored || ignored.state !== wordsOf('ignored') || !ignored.classes.includes('state-ignored') ||
    !(ignored.opacity < 1))
  fault(`the ignored port is not shown muted as ignored: ${JSON.stringify(ignored)}`);

// The history table, newest first, against panel_tool history.
await sleep(1500);  // the record is read again at least every second
const rows = JSON.parse(execFileSync(tool, ['history', '--record', record, '--json'], { encoding: 'utf8' }));
const table = await page.evaluate(() =>
  [...document.querySelectorAll('.history tbody tr')].map((tr) => [...tr.cells].map((td) => td.textContent)));
// Seconds to a tenth, as printf rounds them: compared as numbers.
const wanted = rows.slice(-50).reverse();
const sameRow = (cells, r) => cells.length === 5 && cells[0] === r.time && cells[1] === r.port &&
  cells[2] === r.result && Math.abs(Number(cells[3]) - r.seconds) <= 0.051 && cells[4] === (r.cause ?? '');
if (wanted.length === 0 || table.length !== wanted.length || !wanted.every((r, i) => sameRow(table[i], r)))
  fault(`the history table ${JSON.stringify(table)} is not panel_tool history's ${JSON.stringify(wanted)}`);
await page.screenshot({ path: screenshot, fullPage: true });

// The bench stopped: the banner within 2 s; started again: gone, without
// a reload.
const banner = () => page.evaluate(() =>
  [...document.querySelectorAll('#bench .banner')].some((b) => b.textContent.startsWith('The bench is not running')));
console.log('STOP-BENCH');
const stopped = now();
while (!(await banner()) && now() - stopped < 5000)
  await sleep(20);
if (!(await banner()) || now() - stopped > 2000)
  fault(`the banner came ${Math.round(now() - stopped)} ms after the bench stopped`);
console.log('START-BENCH');
const started = now();
while ((await banner()) && now() - started < 20000)
  await sleep(50);
if (await banner())
  fault('the page did not recover when the bench started again');
if (!(await page.evaluate(() => window.__sameDocument === true)))
  fault('the page was reloaded');

for (const v of await page.evaluate(() => window.__violations))
  fault('CSP violation: ' + v);
for (const e of consoleErrors)
  fault('console error: ' + e);
await browser.close();
console.log(faults.length === 0 ? 'RESULT ok' : faults.map((f) => 'FAULT ' + f).join('\n'));
process.exit(faults.length === 0 ? 0 : 1);
