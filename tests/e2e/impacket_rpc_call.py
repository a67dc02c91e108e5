#!/usr/bin/python3
"""An independent client for the RPC listener: impacket binds over TCP with
NTLM (NTLMv2 by impacket's default) at the connect level to the OPC Common
interface served as a plain RPC interface, and calls three of its methods.

usage: impacket_rpc_call.py PORT USER DOMAIN PASSWORD

Prints one line per result and exits 0; on a refused logon prints
"refused: <error>" and exits 3.
"""
import sys

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.dtypes import DWORD, LPWSTR, ULONG, WSTR
from impacket.dcerpc.v5.ndr import NDRCALL, NDRPOINTER, NDRUniConformantArray
from impacket.dcerpc.v5.rpcrt import DCERPCException, RPC_C_AUTHN_LEVEL_CONNECT
from impacket.uuid import uuidtup_to_bin

IID_IOPCCommon = ('F31DFDE2-07B6-11D2-B2D8-0060083BA1FB', '0.0')


class LCID_ARRAY(NDRUniConformantArray):
    item = DWORD


class PLCID_ARRAY(NDRPOINTER):
    referent = (('Data', LCID_ARRAY),)


class QueryAvailableLocaleIDs(NDRCALL):
    opnum = 5
    structure = ()


class QueryAvailableLocaleIDsResponse(NDRCALL):
    structure = (('pdwCount', DWORD), ('pdwLcid', PLCID_ARRAY),
                 ('ErrorCode', ULONG))


class GetErrorString(NDRCALL):
    opnum = 6
    structure = (('dwError', DWORD),)


class GetErrorStringResponse(NDRCALL):
    structure = (('ppString', LPWSTR), ('ErrorCode', ULONG))


class SetClientName(NDRCALL):
    opnum = 7
    structure = (('szName', WSTR),)


class SetClientNameResponse(NDRCALL):
    structure = (('ErrorCode', ULONG),)


def main():
    port, user, domain, password = sys.argv[1:5]
    rpc = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%s]' % port)
    rpc.set_credentials(user, password, domain)
    dce = rpc.get_dce_rpc()
    dce.set_auth_level(RPC_C_AUTHN_LEVEL_CONNECT)
    try:
        dce.connect()
        dce.bind(uuidtup_to_bin(IID_IOPCCommon))
        request = GetErrorString()
        request['dwError'] = 0x80004005
        reply = dce.request(request)
        print('string=%s' % reply['ppString'].rstrip('\x00'))
        reply = dce.request(QueryAvailableLocaleIDs())
        print('locales=%s' % ','.join('%x' % x['Data'] for x in reply['pdwLcid']))
        request = SetClientName()
        request['szName'] = 'impacket\x00'
        dce.request(request)
        print('client name set')
    except DCERPCException as e:
        print('refused: %s' % e)
        return 3
    dce.disconnect()
    return 0


if __name__ == '__main__':
    sys.exit(main())
