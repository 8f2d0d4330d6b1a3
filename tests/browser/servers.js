// Starts and stops what the page test needs: receiver-sim on the CGI program's fixed
// port 19996 and lighttpd with the repository's configuration on a test port.
'use strict';

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '..', '..');
const SIM_PORT = 19996;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls an async predicate until it returns a truthy value; throws with `what` after
// timeoutMs. The bound only keeps a broken run from hanging.
async function waitFor(what, predicate, timeoutMs = 20000, intervalMs = 100) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await predicate();
      if (last) return last;
    } catch (e) {
      last = e;
    }
    if (Date.now() > deadline) {
      throw new Error('timed out waiting for ' + what + (last instanceof Error ? ': ' + last.message : ''));
    }
    await sleep(intervalMs);
  }
}

// True when something accepts, or holds without accepting, connections on the port.
function portBusy(port) {
  return new Promise((resolve) => {
    const sock = net.connect({ host: '127.0.0.1', port });
    const done = (busy) => { sock.destroy(); resolve(busy); };
    sock.setTimeout(2000, () => done(true));
    sock.once('connect', () => done(true));
    sock.once('error', () => done(false));
  });
}

// Sends SIGTERM, waits up to 5 s, then SIGKILL.
async function stopChild(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const exited = new Promise((r) => child.once('exit', r));
  child.kill('SIGTERM');
  const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
  await exited;
  clearTimeout(timer);
}

class ReceiverSim {
  constructor(binDir, workDir) {
    this.bin = path.join(binDir, 'receiver-sim');
    this.workDir = workDir;
    this.stateFile = path.join(workDir, 'sim-state.json');
    this.logFile = path.join(workDir, 'sim.log');
    this.child = null;
    this.log = '';
  }

  // Starts the sim with a sender list (array of sender objects) or extra options.
  // Port 19996 is shared with other test suites: wait for it rather than fail.
  async start({ senders = null, extraArgs = [] } = {}) {
    await this.stop();
    const args = ['--port', String(SIM_PORT), '--state-file', this.stateFile, ...extraArgs];
    if (senders) {
      const file = path.join(this.workDir, 'senders.json');
      fs.writeFileSync(file, JSON.stringify({ senders }, null, 2));
      args.push('--senders', file);
    }
    const ready = path.join(this.workDir, 'sim.ready');
    const deadline = Date.now() + 300000;
    for (;;) {
      await waitFor('port ' + SIM_PORT + ' to be free', async () => !(await portBusy(SIM_PORT)), 300000, 1000);
      fs.rmSync(ready, { force: true });
      fs.rmSync(this.stateFile, { force: true });
      const child = spawn(this.bin, [...args, '--ready-file', ready], { stdio: ['ignore', 'ignore', 'pipe'] });
      child.stderr.on('data', (d) => {
        this.log += d.toString();
        fs.appendFileSync(this.logFile, d);
      });
      this.child = child;
      try {
        // Written once it listens (with --no-accept: once its accept queue is full).
        await waitFor('receiver-sim to listen', () => {
          if (child.exitCode !== null) throw new Error('receiver-sim exited with ' + child.exitCode);
          return fs.existsSync(ready) && fs.statSync(ready).size > 0;
        }, 10000);
        return;
      } catch (e) {
        await this.stop();
        // Lost the port to another suite between the check and the bind: try again.
        if (Date.now() > deadline) throw new Error(e.message + '\n' + this.log);
        await sleep(1000);
      }
    }
  }

  state() {
    return JSON.parse(fs.readFileSync(this.stateFile, 'utf8'));
  }

  frameOf(id) {
    const s = this.state().senders.find((x) => x.id === id);
    if (!s) throw new Error('no sender ' + id + ' in the sim state');
    return s.frame;
  }

  async stop() {
    await stopChild(this.child);
    this.child = null;
  }
}

class Lighttpd {
  constructor(binDir, workDir, port) {
    this.cgi = path.join(binDir, 'screenreceiver.cgi');
    this.workDir = workDir;
    this.port = port;
    this.base = 'http://127.0.0.1:' + port;
    this.child = null;
    this.output = '';
  }

  async start() {
    if (await portBusy(this.port)) {
      throw new Error('port ' + this.port + ' is busy; set PAGE_TEST_PORT to another one');
    }
    const conf = path.join(this.workDir, 'lighttpd.conf');
    execFileSync(path.join(ROOT, 'web', 'configure-lighttpd'), [
      '--cgi', this.cgi, '--state-dir', path.join(this.workDir, 'lighttpd'),
      '--port', String(this.port), '--out', conf,
    ], { stdio: ['ignore', 'inherit', 'inherit'] });
    const child = spawn('lighttpd', ['-D', '-f', conf], { stdio: ['ignore', 'pipe', 'pipe'] });
    child.stdout.on('data', (d) => { this.output += d; });
    child.stderr.on('data', (d) => { this.output += d; });
    this.child = child;
    await waitFor('lighttpd to serve the page', async () => {
      if (child.exitCode !== null) throw new Error('lighttpd exited: ' + this.output);
      const res = await fetch(this.base + '/').catch(() => null);
      return res !== null && res.status === 200;
    }, 10000);
  }

  async stop() {
    await stopChild(this.child);
    this.child = null;
  }
}

module.exports = { ROOT, SIM_PORT, ReceiverSim, Lighttpd, waitFor, sleep };
