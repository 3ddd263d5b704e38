// Test program: logs what its arguments say, then exits.
//   L:<level>:<text>           cloudlog_e
//   T:<level>:<text>           cloudlog_te without a frame id
//   F:<level>:<frame>:<text>   cloudlog_te with a frame id
//   E:<level>                  cloudlog_e with a format that yields an empty text
//   N:<count>                  <count> info messages (for the "never blocks" test)
//   A:                         abort(): the process ends without flushing anything

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/swaglog.h"

int main(int argc, char *argv[]) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    char kind = arg[0];
    std::string rest = arg.substr(2);
    int level = atoi(rest.c_str());
    std::string text = rest.substr(rest.find(':') + 1);
    switch (kind) {
      case 'L': cloudlog_e(level, "emit.cc", 10 + i, "main", "%s", text.c_str()); break;
      case 'T': cloudlog_te(level, "emit.cc", 10 + i, "main", "%s", text.c_str()); break;
      case 'F': {
        uint32_t frame = (uint32_t)strtoul(text.c_str(), nullptr, 10);
        std::string t = text.substr(text.find(':') + 1);
        cloudlog_te(level, "emit.cc", 10 + i, "main", frame, "%s", t.c_str());
        break;
      }
      case 'E': cloudlog_e(level, "emit.cc", 10 + i, "main", "%s", ""); break;
      case 'A': abort();
      case 'N':
        for (int n = 0; n < level; n++) LOGI("message %d", n);
        break;
    }
  }
  return 0;
}
