#include "driver/run_stub.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState) {
  return RunStub(instance, previous, commandLine, showState);
}
