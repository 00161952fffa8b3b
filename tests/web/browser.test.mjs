// The web page in Debian's chromium, headless, against the real daemon,
// platformd, mqttweb and mosquitto on loopback. One screenshot per step goes
// to $SCREENSHOT_DIR (build/logs/web).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { Stack, until } from './stack.mjs';

const shots = process.env.SCREENSHOT_DIR || 'build/logs/web';
let stack, browser, page, step = 0;

async function shot(name) {
  await page.screenshot({ path: join(shots, `${String(++step).padStart(2, '0')}-${name}.png`), fullPage: true });
}

async function newPage() {
  const context = await browser.newContext({ viewport: { width: 1100, height: 900 } });
  const p = await context.newPage();
  p.on('dialog', (d) => d.accept());
  await p.goto(stack.url);
  return p;
}

async function logIn(p, user, password) {
  const form = p.locator('#login-form');
  await form.getByLabel('User', { exact: true }).fill(user);
  await form.getByLabel('Password', { exact: true }).fill(password);
  await form.getByRole('button', { name: 'Log in' }).click();
}

// An API call from inside the page, as its own script would make it.
function call(p, method, path, body, headers) {
  return p.evaluate(async ([m, u, b, h]) => {
    const r = await fetch(u, { method: m, headers: { 'Content-Type': 'application/json', ...h }, body: JSON.stringify(b) });
    return { status: r.status, body: await r.json() };
  }, [method, path, body, headers || {}]);
}

before(async () => {
  mkdirSync(shots, { recursive: true });
  stack = await new Stack().start();
  // Headless; Playwright gives the browser a new, empty profile directory.
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM_BIN || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  page = await newPage();
});

after(async () => {
  if (browser) await browser.close();
  if (stack) {
    if (process.exitCode) console.log(stack.log());
    await stack.stop();
  }
});

test('a wrong password is refused, and says so', async () => {
  await logIn(page, 'admin', 'not-the-password');
  await page.getByText('wrong user name or password').waitFor();
  assert.equal(await page.locator('#app-view').isVisible(), false);
  await shot('wrong-password');
});

test('the administrator logs in; the page paints quickly', async () => {
  await logIn(page, 'admin', 'admin-secret-1');
  await page.getByRole('heading', { name: 'Brokers' }).waitFor();
  const paint = await page.evaluate(() => performance.getEntriesByName('first-contentful-paint')[0]?.startTime);
  console.log(`first contentful paint: ${Math.round(paint)} ms`);
  await shot('logged-in');
});

test('a refused field shows the daemon\'s own text beside it', async () => {
  await page.getByText('Add a broker').click();
  const form = page.locator('#broker-form');
  await form.getByLabel('Name', { exact: true }).fill('local');
  await form.getByRole('button', { name: 'Save' }).click();
  const beside = page.locator('#broker-form [data-for="address"]');
  await until('the refusal beside the address', async () => (await beside.textContent()) === 'Broker address required');
  await shot('refused-field');
});

// The state column as the page shows it, shape and words: "\u25cf connected".
const stateOf = (row) => row.locator('.state').textContent();

test('a broker pointing at mosquitto is added; its state follows connect and disconnect live', async () => {
  const form = page.locator('#broker-form');
  await form.getByLabel('Address', { exact: true }).fill('127.0.0.1');
  await form.getByLabel('Port', { exact: true }).fill(String(stack.brokerPort));
  await form.getByRole('button', { name: 'Save' }).click();
  const row = page.locator('#broker-table tr[data-broker="local"]');
  for (const [button, words] of [['Connect', '\u25cf connected'], ['Disconnect', '\u25cb idle'], ['Connect', '\u25cf connected']]) {
    await row.getByRole('button', { name: button }).click();
    await until(`the state "${words}" after ${button}`, async () => (await stateOf(row)) === words);
  }
  assert.equal(await row.locator('.failure').textContent(), '');
  await shot('broker-connected');
});

test('a subscription from the page receives what mosquitto_pub sends, live, in the list and the tree', async () => {
  await page.locator('#subscribe-form').getByLabel('Filter', { exact: true }).fill('demo/#');
  await page.locator('#subscribe-form').getByRole('button', { name: 'Subscribe' }).click();
  await page.locator('#subscription-table tr[data-filter="demo/#"]').waitFor();
  stack.publish('demo/kitchen/temperature', '21.5');
  await page.locator('#message-list li', { hasText: 'demo/kitchen/temperature' }).getByText('21.5').waitFor();
  const tree = page.locator('#topic-tree');
  await tree.getByText('kitchen').waitFor();
  await tree.locator('.latest', { hasText: '21.5' }).waitFor();
  await page.getByLabel('Topic filter', { exact: true }).fill('demo/+/humidity');
  await until('the filter to hide the message', async () => (await page.locator('#message-list li').count()) === 0);
  await page.getByLabel('Topic filter', { exact: true }).fill('');
  await page.locator('#messages').scrollIntoViewIfNeeded();
  await shot('message-arrived');
});

test('a message published from the page reaches mosquitto_sub', async () => {
  const sub = stack.subscribe('web/out');
  await until('mosquitto_sub to subscribe', () => stack.broker.output.includes('web/out'));
  const form = page.locator('#publish-form');
  await form.getByLabel('Topic', { exact: true }).fill('web/out');
  await form.getByLabel('Payload', { exact: true }).fill('hello from the page');
  await form.getByRole('button', { name: 'Publish' }).click();
  await sub.seen('web/out hello from the page');
  await form.getByText('Published to web/out.').waitFor();
  await shot('published');
});

test('mosquitto goes away: the row says why; a message queued meanwhile is taken at once and arrives once it is back', async () => {
  const row = page.locator('#broker-table tr[data-broker="local"]');
  await stack.stopBroker();
  await until('the state to become idle', async () => (await stateOf(row)) === '\u25cb idle');
  await until('the last failure and its age', async () => / ago$/.test(await row.locator('.failure').textContent()));

  const form = page.locator('#publish-form');
  await form.getByLabel('Topic', { exact: true }).fill('web/queued');
  await form.getByLabel('Payload', { exact: true }).fill('kept for later');
  await form.getByLabel('Retain').check();  // mosquitto_sub gets it however late it subscribes
  await form.getByLabel('Queue while offline').check();
  await form.getByRole('button', { name: 'Publish' }).click();
  await form.getByText('Taken for web/queued: local delivers it as soon as it can.').waitFor();
  await until('the retry countdown and the outbox', async () =>
    /^\u25cb retrying in \d+ soutbox: 1 message \(24 bytes\)$/.test(await stateOf(row)));
  await shot('queued-while-offline');

  await stack.startBroker();
  // The next automatic attempt is at most 12 s after the failed one.
  await stack.subscribe('web/queued').seen('web/queued kept for later', 60000);
  await until('the state to be connected with the outbox empty', async () => (await stateOf(row)) === '\u25cf connected');
  await form.getByLabel('Retain').uncheck();
  await form.getByLabel('Queue while offline').uncheck();
});

test('the trust store by name: upload, platformd\'s refusal, rename, a broker\'s choice, remove', async () => {
  const pem = stack.certificate('web-test-peer');
  const ca = page.locator('#ca-form');
  await ca.getByLabel('Name', { exact: true }).fill('none');
  await ca.getByLabel('CA certificate (PEM)').setInputFiles(pem.cert);
  await ca.getByRole('button', { name: 'Add' }).click();
  const nameProblem = ca.locator('[data-for="name"]');
  await until('platformd\'s refusal beside the name',
    async () => (await nameProblem.textContent()) === '"none" is not a name (it means no certificate)');
  await ca.getByLabel('Name', { exact: true }).fill('test-ca');
  await ca.getByRole('button', { name: 'Add' }).click();
  const entry = page.locator('#ca-list li[data-entry="test-ca"]');
  await entry.getByText(pem.fingerprint).waitFor();
  assert.match(await entry.textContent(), /CN=web-test-peer.*valid from \d{4}-\d\d-\d\d .* until \d{4}-/s);

  await entry.getByRole('button', { name: 'Rename' }).click();
  await entry.getByLabel('New name of test-ca').fill('home-ca');
  await entry.getByRole('button', { name: 'Save name' }).click();
  await page.locator('#ca-list li[data-entry="home-ca"]').getByText(pem.fingerprint).waitFor();

  const client = page.locator('#client-form');
  await client.getByLabel('Name', { exact: true }).fill('router');
  await client.getByLabel('Certificate (PEM)').setInputFiles(pem.cert);
  await client.getByLabel('Private key (PEM, unencrypted)').setInputFiles(pem.key);
  await client.getByRole('button', { name: 'Add' }).click();
  await page.locator('#client-list li[data-entry="router"]').waitFor();

  const row = page.locator('#broker-table tr[data-broker="local"]');
  await row.getByRole('button', { name: 'Edit' }).click();
  await page.locator('#broker-form').getByLabel('Client certificate').selectOption({ label: 'router' });
  await page.locator('#broker-form').getByRole('button', { name: 'Save' }).click();
  await row.getByText('certificate router').waitFor();
  await page.locator('#trust').scrollIntoViewIfNeeded();
  await shot('trust-store');

  await page.locator('#ca-list li[data-entry="home-ca"]').getByRole('button', { name: 'Remove' }).click();
  await page.locator('#ca-list li[data-entry="home-ca"]').waitFor({ state: 'detached' });
});

test('a change without the CSRF token is refused', async () => {
  const r = await call(page, 'POST', '/api/publish', { brokerId: 1, topic: 'web/out', payload: 'x' });
  assert.equal(r.status, 403);
  assert.match(r.body.error, /CSRF/);
});

test('a read-only account sees everything and can change nothing', async () => {
  const viewer = await newPage();
  await logIn(viewer, 'viewer', 'viewer-secret-1');
  await viewer.locator('#broker-table tr[data-broker="local"]').getByText('\u25cf connected').waitFor();
  assert.equal(await viewer.getByRole('button', { name: 'Connect' }).or(viewer.getByRole('button', { name: 'Disconnect' })).isVisible(), false);
  assert.equal(await viewer.locator('#publish-form').isVisible(), false);
  assert.equal(await viewer.getByText('Add a broker').isVisible(), false);
  await viewer.locator('#client-list li[data-entry="router"]').waitFor();
  assert.equal(await viewer.getByRole('button', { name: 'Rename' }).isVisible(), false);
  assert.equal(await viewer.locator('#client-form').isVisible(), false);
  const csrf = (await call(viewer, 'GET', '/api/session')).body.csrf;
  const r = await call(viewer, 'DELETE', '/api/brokers/1', undefined, { 'X-CSRF-Token': csrf });
  assert.equal(r.status, 403);
  assert.match(r.body.error, /read-only/);
  page = viewer;
  await shot('read-only');
});
