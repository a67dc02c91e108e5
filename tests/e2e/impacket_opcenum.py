#!/usr/bin/python3
"""An independent client of the server browser (OpcEnum): impacket's
DCOMConnection activates class OpcServerList {13486D51-...} for
IOPCServerList through IRemoteSCMActivator with NTLMv2 at the connect
level, then calls EnumClassesOfCategories for the OPC DA 1.0 and 2.0
categories, GetClassDetails and CLSIDFromProgID for the given class.

usage: impacket_opcenum.py CLSID PROGID USER DOMAIN PASSWORD

Prints one line per result and exits 0; a refused logon exits 3, any other
failure 1.
"""
import sys

from impacket.dcerpc.v5 import dcomrt
from impacket.dcerpc.v5.dcomrt import DCOMConnection, ORPCTHAT, ORPCTHIS
from impacket.dcerpc.v5.dtypes import GUID, ULONG, WSTR
from impacket.dcerpc.v5.ndr import NDRCALL, NDRUniConformantArray, UNKNOWNDATA
from impacket.dcerpc.v5.rpcrt import RPC_C_AUTHN_LEVEL_CONNECT
from impacket.uuid import string_to_bin, uuidtup_to_bin

IID_IOPCServerList = uuidtup_to_bin(('13486D50-4821-11D2-A494-3CB306C10000',
                                     '0.0'))
CLSID_OpcServerList = string_to_bin('13486D51-4821-11D2-A494-3CB306C10000')
CATID_OPCDAServer10 = string_to_bin('63D5F430-CFE4-11D1-B2C8-0060083BA1FB')
CATID_OPCDAServer20 = string_to_bin('63D5F432-CFE4-11D1-B2C8-0060083BA1FB')


class CatidArray(NDRUniConformantArray):
    item = GUID


class EnumClassesOfCategories(NDRCALL):
    opnum = 3
    structure = (('ORPCthis', ORPCTHIS), ('cImplemented', ULONG),
                 ('rgcatidImpl', CatidArray), ('cRequired', ULONG),
                 ('rgcatidReq', CatidArray))


class GetClassDetails(NDRCALL):
    opnum = 4
    structure = (('ORPCthis', ORPCTHIS), ('clsid', GUID))


class CLSIDFromProgID(NDRCALL):
    opnum = 5
    structure = (('ORPCthis', ORPCTHIS), ('szProgId', WSTR))


class Response(NDRCALL):
    structure = (('ORPCthat', ORPCTHAT), ('rest', UNKNOWNDATA))


for call in (EnumClassesOfCategories, GetClassDetails, CLSIDFromProgID):
    globals()[call.__name__ + 'Response'] = Response

# As in impacket_dcom_activation.py: the object connection stays at the
# connect level the activation reply hints at.
dcomrt.CLASS_INSTANCE.get_auth_level = lambda self: RPC_C_AUTHN_LEVEL_CONNECT


def raw_of(reply):
    raw = reply['rest']
    return raw if isinstance(raw, bytes) else raw['Data']


def call(iface, request):
    return raw_of(iface.request(request, IID_IOPCServerList,
                                iface.get_iPid()))


def main():
    clsid, prog_id, user, domain, password = sys.argv[1:6]
    try:
        dcom = DCOMConnection('127.0.0.1', user, password, domain,
                              authLevel=RPC_C_AUTHN_LEVEL_CONNECT,
                              oxidResolver=False)
    except Exception as e:
        print('refused: %s' % e)
        return 3
    try:
        iface = dcom.CoCreateInstanceEx(CLSID_OpcServerList,
                                        IID_IOPCServerList)
        print('activated')
        request = EnumClassesOfCategories()
        request['cImplemented'] = 2
        for catid in (CATID_OPCDAServer10, CATID_OPCDAServer20):
            g = GUID()
            g['Data'] = catid
            request['rgcatidImpl'].append(g)
        request['cRequired'] = 0
        raw = call(iface, request)
        print('enum=%s' % ('objref' if b'MEOW' in raw else 'missing'))
        print('enum_hresult=%08x' % int.from_bytes(raw[-4:], 'little'))

        request = GetClassDetails()
        request['clsid'] = string_to_bin(clsid)
        raw = call(iface, request)
        wanted = prog_id.encode('utf-16-le')
        print('progid=%s' % ('found' if wanted in raw else 'missing'))
        print('details_hresult=%08x' % int.from_bytes(raw[-4:], 'little'))

        request = CLSIDFromProgID()
        request['szProgId'] = prog_id + '\x00'
        raw = call(iface, request)
        print('clsid=%s' % ('match' if raw[:16] == string_to_bin(clsid)
                            else 'differs'))
        print('progid_hresult=%08x' % int.from_bytes(raw[-4:], 'little'))
    except Exception as e:
        print('failed: %s' % e)
        dcom.disconnect()
        if 'access_denied' in str(e).lower():
            return 3
        return 1
    dcom.disconnect()
    return 0


if __name__ == '__main__':
    sys.exit(main())
