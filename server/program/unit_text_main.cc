// kavex-opc-unit-text <program path>: prints the unit that installing the
// server's service writes, for the package to carry as its default unit.
// A build-time tool; not installed.
#include <cstdio>
#include <string>

#include "platform/base/results.h"
#include "platform/service/service_names.h"
#include "platform/service/unit_file.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: kavex-opc-unit-text <program path>\n");
    return 2;
  }
  kavex::service::UnitSpec spec;
  spec.description = kavex::service::kServerServiceName;
  spec.command = {argv[1]};
  kavex::service::UnitDependency dependency;
  if (!kavex::service::DependencyForServiceName("RPCSS", &dependency)) return 1;
  spec.dependencies.push_back(dependency);
  kavex::service::AddUnitResources(kavex::service::kServerUnitName, &spec);
  std::string text;
  DWORD error = kavex::service::GenerateUnitText(spec, &text);
  if (error != ERROR_SUCCESS) {
    fprintf(stderr, "kavex-opc-unit-text: cannot write a unit for %s\n",
            argv[1]);
    return 1;
  }
  fputs(text.c_str(), stdout);
  return 0;
}
