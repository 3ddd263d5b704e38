#include "selfdrive/orsolo/recorder_settings.h"

#include <cstdlib>

#include "selfdrive/orsolo/recorder_config.h"

#ifndef ROADRECD_VIDEOS_BASE
#define ROADRECD_VIDEOS_BASE "/data/media/0/videos"
#endif

const char *const VIDEOS_BASE = ROADRECD_VIDEOS_BASE;

RecorderSettings read_recorder_settings(std::vector<std::string> *problems) {
  RecorderSettings s;
  const char *dir = getenv("ROADRECD_VIDEOS_DIR");
  s.videos_dir = dir && *dir ? dir : VIDEOS_BASE;
  while (s.videos_dir.size() > 1 && s.videos_dir.back() == '/') s.videos_dir.pop_back();

  s.min_free_percent = DEFAULT_MIN_FREE_PERCENT;
  if (const char *text = getenv("ROADRECD_MIN_FREE_PERCENT")) {
    char *end = nullptr;
    const double value = strtod(text, &end);
    if (end != text && *end == '\0' && value >= 0 && value < 100) {
      s.min_free_percent = value;
    } else {
      problems->push_back(std::string("ROADRECD_MIN_FREE_PERCENT=\"") + text +
                          "\" is not a percentage from 0 up to 100; keeping " +
                          std::to_string((int)DEFAULT_MIN_FREE_PERCENT) + "% free");
    }
  }
  return s;
}

std::string recorder_help_text() {
  return std::string(
             "roadrecd: the dashcam recorder daemon.\n"
             "\n"
             "Records the road camera (vision IPC server \"imagerd\") into H.264 MP4 segments of 180 s\n"
             "with SRT subtitles (time, speed, position), one directory per trip, following ignition,\n"
             "gear and GPS from the deviceState, carState and gpsLocation topics. Segments left open\n"
             "by a recorder that died are finished at start; the oldest footage is deleted to keep\n"
             "free space (a trip holding a file named KEEP is never deleted). Stops on SIGINT, SIGTERM,\n"
             "SIGPWR or \"1\" in the parameter DashcamShutdown (answered with \"0\"); exits with status 0.\n"
             "Every argument other than --help is ignored.\n"
             "\n"
             "Environment:\n"
             "  ROADRECD_VIDEOS_DIR        videos directory, created with its parents (default ") +
         VIDEOS_BASE +
         ")\n"
         "  ROADRECD_MIN_FREE_PERCENT  free space kept on its file system, in percent (default 10, 0: off)\n"
         "  TAVRIN_PREFIX              isolates queues, sockets, parameters and the log endpoint\n"
         "  PARAMS_ROOT                parameter store root (default /data/params)\n"
         "  LOGPRINT                   level printed on standard output (default warning)\n";
}
