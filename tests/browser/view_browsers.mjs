// Opens the bench's view in N pages of Debian's chromium, as N people
// watching a bench, and keeps them open until SIGTERM; prints
// each page's weight (every byte it loaded) and its first paint, then
// "OPEN" once all are open. For benchmarks/view_benchmark (beside the
// browser test, whose playwright-core it uses).
//   node view_browsers.mjs URL N
import { chromium } from 'playwright-core';

const [url, count] = [process.argv[2], Number(process.argv[3] ?? 4)];
const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox', '--disable-gpu'] });
const pages = [];
for (let i = 0; i < count; ++i) {
  // A context each, as a browser of its own: each paints its page.
  const page = await (await browser.newContext()).newPage();
  await page.goto(url, { waitUntil: 'load' });
  const { bytes, paint } = await page.evaluate(() => {
    const loaded = [...performance.getEntriesByType('navigation'), ...performance.getEntriesByType('resource')]
      .filter((e) => !e.name.endsWith('/events'));
    const painted = performance.getEntriesByType('paint').find((e) => e.name === 'first-contentful-paint');
    return { bytes: loaded.reduce((sum, e) => sum + e.decodedBodySize, 0), paint: painted ? painted.startTime : -1 };
  });
  console.log(`page ${i + 1}: ${bytes} bytes, first paint ${paint.toFixed(0)} ms`);
  pages.push(page);
}
console.log('OPEN');
process.on('SIGTERM', async () => { await browser.close(); process.exit(0); });
setInterval(() => {}, 1 << 30);
