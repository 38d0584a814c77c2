#!/usr/bin/env node
// A game feeding marlpike-falloff-server through its control port. Node's standard library only.
'use strict';
const fs = require('node:fs');
const net = require('node:net');
const readline = require('node:readline');
const { parseArgs } = require('node:util');

const WALK = 1.4; // metres a second
// Voice alias (the Mumble user name) -> certificate hash, as your voice server reports them.
const PLAYERS = {
  'VC-Ada': '1b3d5f7a9c0e2b4d6f8a1c3e5a7b9d0f2e4c6a8b',
  'VC-Bo': '2c4e6a8b0d1f3a5c7e9b1d3f5a7c9e0b2d4f6a8c',
  'VC-Cy': '3d5f7b9c1e2a4b6d8f0a2c4e6b8d0f1a3c5e7b9d',
  'VC-Dee': '4e6a8c0d2f3b5c7e9a1b3d5f7c9e1a2b4d6f8c0e',
};

// x east, y north (metres), heading (degrees clockwise from north) at t seconds.
function where(alias, t) {
  const s = (WALK * t) % 40, back = s >= 20; // 20 m out, 20 m back
  const a = (WALK * t) / 20; // round a 20 m circle, in radians
  switch (alias) {
    case 'VC-Ada': return [0, back ? 30 - s : s - 10, back ? 180 : 0]; // walks the street north and back
    case 'VC-Bo': return [6 + Math.sin(t), 0, 90]; // paces inside the house
    case 'VC-Cy': return [20 * Math.sin(a), 20 * Math.cos(a), ((a * 180) / Math.PI + 90) % 360]; // shouts
    default: return [-500 + 5 * Math.sin(t / 4), 200, 0]; // VC-Dee, Ada's radio partner, far away
  }
}

async function main() {
  // --control HOST:PORT, --seconds S (how long to run), --transcript FILE (every line sent, timed)
  const { values: o } = parseArgs({ options: { control: { type: 'string', default: '127.0.0.1:8891' },
    seconds: { type: 'string', default: '60' }, transcript: { type: 'string' } } });
  const colon = o.control.lastIndexOf(':');
  const socket = net.connect(Number(o.control.slice(colon + 1)), o.control.slice(0, colon));
  const transcript = o.transcript && fs.createWriteStream(o.transcript);
  const send = (...lines) => {
    socket.write(lines.map((l) => l + '\n').join(''));
    if (transcript) transcript.write(lines.map((l) => `${(Date.now() / 1000).toFixed(3)} ${l}\n`).join(''));
  };
  // The server answers `sync` with OK once it has applied every line before; refusals come as ERR lines.
  const refusals = [];
  let synced = () => {};
  readline.createInterface({ input: socket }).on('line', (l) => (l === 'OK' ? synced() : refusals.push(l)));
  const sync = () => new Promise((resolve) => ((synced = resolve), send('sync')));
  const lost = () => { console.error('the falloff server closed the control connection'); process.exit(1); };
  socket.on('error', lost).on('close', lost);

  send(...Object.entries(PLAYERS).map(([alias, hash]) => `player ${alias} ${hash}`),
    'wall house-w 4 -2 4 2 0.7', 'wall house-e 8 -2 8 2 0.7', // id, from x y, to x y, muffle
    'wall house-n 4 2 8 2 0.7', 'wall house-s 4 -2 8 -2 0.7',
    'range VC-Cy 40', // a shout carries 40 m
    'hear VC-Ada VC-Dee 1 0 0 1', 'hear VC-Dee VC-Ada 1 0 0 1'); // gain pan muffle radio, at any distance
  await sync();
  let rounds = 0, stopping = false;
  process.once('SIGINT', () => (stopping = true)).once('SIGTERM', () => (stopping = true)); // then they leave
  for (const start = Date.now(); !refusals.length && !stopping && Date.now() - start < o.seconds * 1000; ) {
    const t = (Date.now() - start) / 1000;
    send(...Object.keys(PLAYERS).map((p) => {
      const [x, y, heading] = where(p, t);
      return `pos ${p} ${x.toFixed(2)} ${y.toFixed(2)} 0 ${heading.toFixed(0)}`;
    }));
    rounds++;
    await new Promise((wake) => setTimeout(wake, start + rounds * 100 - Date.now())); // 10 Hz
  }
  send(...Object.keys(PLAYERS).map((p) => `leave ${p}`)); // their voice links close at once
  await sync();
  socket.off('close', lost).end();
  if (transcript) transcript.end();
  console.log(refusals.join('\n') || `done: ${rounds} rounds of positions`);
  process.exitCode = refusals.length ? 1 : 0;
}

main();
