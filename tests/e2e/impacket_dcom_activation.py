#!/usr/bin/python3
"""An independent DCOM client: impacket's DCOMConnection activates a class
through IRemoteSCMActivator::RemoteCreateInstance (activation property
blobs) on port 135 with NTLMv2 at the connect level, then calls
IOPCServer::GetStatus on the object it got, over the object port (at the
connect level: see below), and releases it with IRemUnknown::RemRelease,
which impacket reaches by an alter_context on the object connection that
runs a new NTLM exchange.

usage: impacket_dcom_activation.py CLSID USER DOMAIN PASSWORD

Prints one line per result and exits 0; a refused logon exits 3, any other
failure 1.
"""
import sys

from impacket.dcerpc.v5 import dcomrt
from impacket.dcerpc.v5.dcomrt import DCOMConnection, ORPCTHAT, ORPCTHIS
from impacket.dcerpc.v5.ndr import NDRCALL, UNKNOWNDATA
from impacket.dcerpc.v5.rpcrt import RPC_C_AUTHN_LEVEL_CONNECT
from impacket.uuid import string_to_bin, uuidtup_to_bin

IID_IOPCServer = uuidtup_to_bin(('39C13A4D-011E-11D0-9675-0020AFD8ADB3', '0.0'))


class GetStatus(NDRCALL):
    opnum = 6
    structure = (('ORPCthis', ORPCTHIS),)


class GetStatusResponse(NDRCALL):
    structure = (('ORPCthat', ORPCTHAT), ('rest', UNKNOWNDATA))


# impacket raises the object connections of an NTLM logon to packet
# integrity (signed PDUs), which the server does not serve yet; the
# connect level the activation reply hints at is used instead.
dcomrt.CLASS_INSTANCE.get_auth_level = lambda self: RPC_C_AUTHN_LEVEL_CONNECT


def main():
    clsid, user, domain, password = sys.argv[1:5]
    try:
        dcom = DCOMConnection('127.0.0.1', user, password, domain,
                              authLevel=RPC_C_AUTHN_LEVEL_CONNECT,
                              oxidResolver=False)
    except Exception as e:  # the logon is refused at the first call
        print('refused: %s' % e)
        return 3
    try:
        iface = dcom.CoCreateInstanceEx(string_to_bin(clsid), IID_IOPCServer)
        print('activated')
        reply = iface.request(GetStatus(), IID_IOPCServer,
                              iface.get_iPid())
        raw = reply['rest']
        if not isinstance(raw, bytes):
            raw = raw['Data']
        vendor = 'Kavex'.encode('utf-16-le')
        print('vendor=%s' % ('found' if vendor in raw else 'missing'))
        print('hresult=%08x' % int.from_bytes(raw[-4:], 'little'))
        # impacket's own RemRelease gives back one reference; the object
        # reference handed out carries more: all of them go back, so the
        # server object goes at once.
        refs = dcomrt.OBJREF_STANDARD(iface.get_objRef())['std']['cPublicRefs']
        release = dcomrt.RemRelease()
        release['ORPCthis'] = iface.get_cinstance().get_ORPCthis()
        release['ORPCthis']['flags'] = 0
        release['cInterfaceRefs'] = 1
        element = dcomrt.REMINTERFACEREF()
        element['ipid'] = iface.get_iPid()
        element['cPublicRefs'] = refs
        release['InterfaceRefs'].append(element)
        remunknown = dcomrt.IRemUnknown(iface)
        reply = remunknown.request(release, dcomrt.IID_IRemUnknown,
                                   iface.get_ipidRemUnknown())
        print('released=%08x refs=%d' % (reply['ErrorCode'], refs))
    except Exception as e:
        print('failed: %s' % e)
        if 'access_denied' in str(e).lower() or 'ACCESS_DENIED' in str(e):
            dcom.disconnect()
            return 3
        dcom.disconnect()
        return 1
    dcom.disconnect()
    return 0


if __name__ == '__main__':
    sys.exit(main())
