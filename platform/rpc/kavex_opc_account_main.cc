// kavex-opc-account: see platform/rpc/account_tool.h.
#include <cstdio>

#include "platform/rpc/account_tool.h"

int main(int argc, char** argv) {
  return kavex::rpc::RunAccountTool(argc, argv, stdin, stdout, stderr);
}
