// Entry point of the helper. The desktop backend is chosen when the executable is linked.
#include "desktop/platform.h"
#include "runtime/startup.h"

int main(int argc, char** argv) {
  if (!qcu::platformInit(argc, argv)) return 2;
  qcu::runHelper(argc, argv);
}
