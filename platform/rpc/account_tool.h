// kavex-opc-account: manages the accounts file.
//
//   kavex-opc-account [--file PATH] add USER DOMAIN   password from stdin
//   kavex-opc-account [--file PATH] remove USER DOMAIN
//   kavex-opc-account [--file PATH] list
//
// The password is read from the terminal without echo (twice, to confirm),
// or as the first line of standard input when that is no terminal. Only
// its NT hash is stored. The file defaults to /etc/kavex-opc/accounts
// (or $KAVEX_OPC_ACCOUNTS); it is created with mode 0600.
#ifndef KAVEX_PLATFORM_RPC_ACCOUNT_TOOL_H_
#define KAVEX_PLATFORM_RPC_ACCOUNT_TOOL_H_

#include <cstdio>

namespace kavex::rpc {

// Exit status: 0 done, 1 failed (message on `err`), 2 usage.
int RunAccountTool(int argc, char** argv, FILE* in, FILE* out, FILE* err);

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_ACCOUNT_TOOL_H_
