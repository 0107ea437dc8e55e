// A real browser against a running corvane-host: the HTML login through a
// bearer header leaves a session cookie that carries the user on; a fresh
// context has no cookie and gets the 401 page.
// Env: CORVANE_BASE (http://127.0.0.1:PORT), CORVANE_TOKEN (Authorization value).
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';

const base = process.env.CORVANE_BASE;
const token = process.env.CORVANE_TOKEN;
assert.ok(base && token, 'CORVANE_BASE and CORVANE_TOKEN must be set');

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  timeout: 60_000,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});

let failures = 0;
async function step(name, body) {
  try {
    await body();
    console.log(`ok - ${name}`);
  } catch (error) {
    failures += 1;
    console.error(`not ok - ${name}\n${error.stack || error}`);
  }
}

async function cell(page, id) {
  return (await page.locator(`#${id}`).textContent({ timeout: 10_000 })).trim();
}

try {
  const context = await browser.newContext();
  const page = await context.newPage();

  await step('with the Authorization header the page shows the user', async () => {
    await context.setExtraHTTPHeaders({ Authorization: token, 'X-Identity-Provider-Id': 'local' });
    const response = await page.goto(`${base}/whoami.html`);
    assert.equal(response.status(), 200);
    assert.equal(await cell(page, 'user_id'), 'alice');
    assert.equal(await cell(page, 'authenticated_by'), 'jwt');
    const cookies = await context.cookies(base);
    const session = cookies.find((c) => c.name === 'corvane_session');
    assert.ok(session, 'a session cookie was set');
    assert.equal(session.httpOnly, true);
    assert.equal(session.sameSite, 'Lax');
  });

  await step('without the header the same context is still signed in', async () => {
    await context.setExtraHTTPHeaders({});
    const response = await page.goto(`${base}/resources/report.html`);
    assert.equal(response.status(), 200);
    assert.equal(await cell(page, 'user_id'), 'alice');
    assert.equal(await cell(page, 'authenticated_by'), 'session');
  });

  await step('a new context without the cookie sees the 401 page', async () => {
    const fresh = await browser.newContext();
    const other = await fresh.newPage();
    const response = await other.goto(`${base}/whoami.html`);
    assert.equal(response.status(), 401);
    assert.equal((await other.locator('h1').textContent()).trim(), '401 Unauthorized');
    await fresh.close();
  });
  await context.close();
} finally {
  await browser.close();
}

console.log(`${3 - failures} passed, ${failures} failed`);
process.exit(failures === 0 ? 0 : 1);
