// kavex-reg: inspect and edit the registry hives from the shell.
#include <iostream>
#include <string>
#include <vector>

#include "platform/registry/reg_tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return kavex::registry::RunRegTool(args, std::cin, std::cout, std::cerr);
}
