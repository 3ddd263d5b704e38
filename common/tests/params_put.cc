// Test program: writes values to a parameter store in a process of its own, so that its log
// records go to the endpoint of the TAVRIN_PREFIX it was started with. Logs "done" at error
// level after the last write.
//   params_put <root> <key> <value> [<key> <value>...]
// Exit status: 0 when every write returned 0, else the number of the first failed pair (1-based).

#include "common/params.h"
#include "common/swaglog.h"

int main(int argc, char *argv[]) {
  if (argc < 2 || argc % 2 != 0) return 100;
  Params params(argv[1]);
  int status = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (params.put(argv[i], argv[i + 1]) != 0 && status == 0) status = i / 2;
  }
  LOGE("done");
  return status;
}
