// ovrin-devsim: plays the device on a pseudo-terminal, for the tests, the demo and the
// benchmarks. See --help.
#include <cstdio>

#include "tools/devsim/device_simulator.h"
#include "tools/devsim/options.h"

int main(int argc, char** argv) {
  const auto parsed = devsim::ParseCommandLine(argc, argv);
  if (parsed.helpAsked) {
    std::fputs(devsim::UsageText(), stdout);
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "ovrin-devsim: %s\n%s", parsed.error.c_str(), devsim::UsageText());
    return 2;
  }
  return devsim::DeviceSimulator(*parsed.options).Run();
}
