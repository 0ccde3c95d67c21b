'use strict';
// A minimal relay of the agent's shape, as a baseline: /master/<token> opens a
// session, /slave/<session> joins it, text goes to the first other member, and
// when one leaves the next is closed. Usage: node relay.js P12 PASSWORD TOKEN
const crypto = require('crypto');
const fs = require('fs');
const https = require('https');
const { WebSocketServer } = require('ws');

const [p12, passphrase, token] = process.argv.slice(2);
const server = https.createServer({ pfx: fs.readFileSync(p12), passphrase });
const wss = new WebSocketServer({ server });
const sessions = new Map();

wss.on('connection', (socket, request) => {
  const segments = new URL(request.url, 'wss://relay').pathname.split('/').filter(Boolean);
  if (segments.length !== 2) return socket.close(1008, 'URL nema platny tvar');
  const [role, key] = segments;
  let session;
  if (role === 'master' && key === token) {
    session = crypto.randomUUID();
    sessions.set(session, []);
  } else if (role === 'slave' && sessions.has(key)) {
    session = key;
  } else {
    return socket.close(role === 'slave' ? 1000 : 1008);
  }
  const members = sessions.get(session);
  members.push(socket);
  // The agent hands the session to the application it launches; here the
  // greeting carries it so that the benchmark's application can join.
  socket.send(JSON.stringify({ id: null, jsonrpc: '2.0', method: 'hello', params: { session, version: 'relay' } }));
  socket.on('message', (data, isBinary) => {
    const peer = members.find((member) => member !== socket);
    if (peer && !isBinary) peer.send(data, { binary: false });
  });
  socket.on('close', () => {
    members.splice(members.indexOf(socket), 1);
    if (members.length === 0) sessions.delete(session);
    else members[0].close(1000);
  });
});

server.listen(0, '127.0.0.1', () => console.log(server.address().port));
