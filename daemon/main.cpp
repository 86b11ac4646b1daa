// korveld: keeps the per-agent risk summary, the merged brute-force records and the
// statistics cache of the management server current. No command line, no environment.
#include "daemon/korveld.h"
#include "platform/log.h"
#include "platform/loop.h"

int main() {
  if (korveld_init() != 0) {
    autolog_close();
    return -1;
  }
  int status = korveld_run();
  cl_event_loop_close();
  autolog_close();
  return status;
}
