// One OPC DA client session over DCOM, as an unmodified node-opc-da
// application runs it. Prints one "key=value" line per step for the test to
// check, and exits 0 when every step succeeded, 3 when the logon failed,
// 1 on any other failure.
//
//   node --openssl-legacy-provider opc_da_flow.js ADDRESS CLSID DOMAIN USER PASSWORD ITEM...
'use strict';
const opcda = require('node-opc-da');
const {OPCServer} = opcda;
const {ComServer, Session, Clsid} = opcda.dcom;

// node-opc-da's removeGroup logs a global `name` it never defines.
global.name = 'e2e';

const [address, clsid, domain, user, password, ...items] = process.argv.slice(2);

function show(key, value) {
  console.log(key + '=' + JSON.stringify(value, (k, v) =>
      typeof v === 'bigint' ? v.toString() : v));
}

async function main() {
  let session = new Session();
  session = session.createSession(domain, user, password);
  session.setGlobalSocketTimeout(7000);
  const comServer = new ComServer(new Clsid(clsid), address, session);
  try {
    await comServer.init();
  } catch (e) {
    show('logon_failed', String(e && e.message || e));
    process.exit(3);
  }
  const comObject = await comServer.createInstance();
  const server = new OPCServer();
  await server.init(comObject);

  const status = await server.getStatus();
  show('status', {state: status.serverState, groups: status.groupCount,
                  vendor: status.vendorInfo});

  const browser = await server.getBrowser();
  const flat = await browser.browseAllFlat();
  show('browsed_count', flat.length);
  show('browsed_sample', flat.slice(0, 3));

  // The group's state cannot be read back through this client (its
  // getState fails on its own side), so the revision shows as the
  // OPC_S_UNSUPPORTEDRATE result addGroup reports as an event.
  let unsupported_rate = false;
  server.on('opc_s_unsuportedrate', () => { unsupported_rate = true; });
  const group = await server.addGroup('e2e', {active: true, updateRate: 250,
                                              clientHandle: 0, timeBias: 0,
                                              deadband: 0, localeID: 0x409});
  show('unsupported_rate', unsupported_rate);
  const manager = await group.getItemManager();
  const defs = items.map((id, i) => ({itemID: id, clientHandle: 100 + i}));
  const validated = await manager.validate(defs);
  show('validated', validated.map(v => (v[0] && v[0].getValue) ? v[0].getValue() : v[0]));
  const added = await manager.add(defs);
  show('added', added.map(a => a[0]));
  const handles = added.filter(a => a[0] === 0).map(a => a[1].serverHandle);
  const io = await group.getSyncIO();
  for (const [name, source] of [['cache', 1], ['device', 2],
                                ['cache_after', 1]]) {
    const values = await io.read(source, handles);
    show('read_' + name, values.map(v => ({handle: v.clientHandle,
                                            error: v.errorCode,
                                            quality: v.quality,
                                            value: v.value})));
  }
  const removed = await manager.remove(handles);
  show('removed', removed.map(r => (r && r.getValue) ? r.getValue() : r));
  show('groups_before_remove', (await server.getStatus()).groupCount);
  // The library remembers a group by the client handle it gave (0 here),
  // which is also the handle the server gives a session's first group.
  await server.removeGroup(group, true);
  show('groups_after_remove', (await server.getStatus()).groupCount);
  await server.end();
  await comServer.closeStub();
  show('done', true);
  process.exit(0);
}

main().catch(e => {
  show('error', String(e && e.stack || e));
  process.exit(1);
});
