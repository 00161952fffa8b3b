// The programs behind the page, started for one test run on loopback: a
// mosquitto broker, the daemon, platformd and mqttweb, under a temporary root
// directory. Every wait is for a condition, with a generous deadline.
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, writeFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const need = (name) => {
  if (!process.env[name]) throw new Error(`${name} is not set (scripts/web-test.sh sets it)`);
  return process.env[name];
};

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export async function until(what, check, deadlineMs = 20000) {
  const end = Date.now() + deadlineMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`gave up waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

class Program {
  constructor(name, argv, env) {
    this.name = name;
    this.output = '';
    this.child = spawn(argv[0], argv.slice(1), { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    this.child.stdout.on('data', (d) => { this.output += d; });
    this.child.stderr.on('data', (d) => { this.output += d; });
    this.exited = new Promise((r) => this.child.on('exit', r));
  }
  seen(text, deadlineMs) { return until(`${this.name} to say "${text}"`, () => this.output.includes(text), deadlineMs); }
  async stop() {
    if (this.child.exitCode === null && this.child.signalCode === null) this.child.kill('SIGTERM');
    await this.exited;
  }
}

export class Stack {
  async start() {
    this.root = mkdtempSync(join(tmpdir(), 'mqttweb-test-'));
    const env = { KV_ROOT: this.root };
    this.account('admin', 'admin-secret-1');
    this.account('viewer', 'viewer-secret-1', '--read-only');
    this.brokerPort = await freePort();
    writeFileSync(join(this.root, 'mosquitto.conf'), `listener ${this.brokerPort} 127.0.0.1\nallow_anonymous true\n`);
    this.programs = [];
    const broker = this.startBroker();
    const daemon = new Program('mqttd', [need('MQTTD_BIN')], env);
    this.programs.push(daemon, new Program('platformd', [need('PLATFORMD_BIN')], env));
    await daemon.seen('mqtt: started');
    const web = new Program('mqttweb', [need('MQTTWEB_BIN'), '--listen', '127.0.0.1:0'], env);
    this.programs.push(web);
    await web.seen('serving http://');
    this.url = web.output.match(/serving (http:\/\/[^\s]+)/)[1];
    await broker;
    return this;
  }

  // mosquitto, on the same port each time; stopBroker() takes it away.
  async startBroker() {
    this.broker = new Program('mosquitto', [need('MOSQUITTO_BIN'), '-c', join(this.root, 'mosquitto.conf'), '-v'], {});
    this.programs.push(this.broker);
    await this.broker.seen('listen socket on port');
  }
  stopBroker() { return this.broker.stop(); }

  account(name, password, ...flags) {
    const r = spawnSync(need('MQTTWEB_BIN'), ['password', name, ...flags], { env: { ...process.env, KV_ROOT: this.root }, input: password + '\n' });
    if (r.status !== 0) throw new Error(`mqttweb password ${name}: ${r.stderr}`);
  }

  // A self-signed certificate and its unencrypted key, made for this run.
  certificate(name) {
    const cert = join(this.root, `${name}.pem`), key = join(this.root, `${name}.key`);
    const made = spawnSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
      '-nodes', '-keyout', key, '-out', cert, '-days', '2', '-subj', `/CN=${name}`]);
    if (made.status !== 0) throw new Error(`openssl req: ${made.stderr}`);
    const fingerprint = spawnSync('openssl', ['x509', '-in', cert, '-noout', '-fingerprint', '-sha256'], { encoding: 'utf8' });
    return { cert, key, fingerprint: fingerprint.stdout.trim().split('=')[1] };
  }

  // mosquitto_pub and mosquitto_sub against the test's broker.
  publish(topic, message) {
    const r = spawnSync(need('MOSQUITTO_PUB_BIN'), ['-h', '127.0.0.1', '-p', String(this.brokerPort), '-t', topic, '-m', message]);
    if (r.status !== 0) throw new Error(`mosquitto_pub: ${r.stderr}`);
  }
  subscribe(topic) {
    const sub = new Program('mosquitto_sub', [need('MOSQUITTO_SUB_BIN'), '-h', '127.0.0.1', '-p', String(this.brokerPort), '-t', topic, '-C', '1', '-v'], {});
    this.programs.push(sub);
    return sub;
  }

  log() { return this.programs.map((p) => `---- ${p.name}\n${p.output}`).join('\n'); }

  async stop() {
    for (const p of (this.programs || []).reverse()) await p.stop();
    if (this.root) rmSync(this.root, { recursive: true, force: true });
  }
}
