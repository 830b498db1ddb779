#include <unistd.h>

#include <string>
#include <vector>

#include "cutout/entry.h"
#include "cutout/platform/isnet_engine.h"
#include "cutout/service.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  rezoro::cutout::IsnetEngine engine;
  return rezoro::cutout::cutoutMain(arguments, engine, STDOUT_FILENO, rezoro::cutout::serve);
}
