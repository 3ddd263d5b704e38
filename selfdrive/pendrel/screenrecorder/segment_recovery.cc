#include "selfdrive/pendrel/screenrecorder/segment_recovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/util.h"
#include "selfdrive/pendrel/screenrecorder/mp4_index_rebuild.h"
#include "selfdrive/pendrel/screenrecorder/segment_journal.h"
#include "common/unique_fd.h"

namespace {

bool fail(std::string *error, const std::string &why) {
  if (error) *error = why;
  return false;
}

bool read_all(int fd, std::vector<uint8_t> *out) {
  uint8_t buf[65536];
  while (true) {
    ssize_t n = util::retry_eintr([&] { return read(fd, buf, sizeof(buf)); });
    if (n < 0) return false;
    if (n == 0) return true;
    out->insert(out->end(), buf, buf + n);
  }
}

void sync_directory_of(const std::string &path) {
  const std::string dir = util::dir_name(path);
  UniqueFd d(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.get() >= 0) fsync(d.get());
}

// Removes the segment's files; the lock file last, so a failure in between leaves it to retry.
bool remove_segment(const std::string &mp4_path, const std::string &lock_path, std::string *error) {
  if (unlink(mp4_path.c_str()) != 0 && errno != ENOENT)
    return fail(error, "remove " + mp4_path + ": " + strerror(errno));
  if (unlink(lock_path.c_str()) != 0 && errno != ENOENT)
    return fail(error, "remove " + lock_path + ": " + strerror(errno));
  sync_directory_of(mp4_path);
  return true;
}

}  // namespace

bool recover_segment(const std::string &mp4_path, std::string *error) {
  const std::string lock_path = mp4_path + ".lock";
  UniqueFd lock(util::retry_eintr([&] { return open(lock_path.c_str(), O_RDWR | O_CLOEXEC); }));
  if (lock.get() < 0) {
    if (errno == ENOENT) return true;  // closed meanwhile, or never open
    return fail(error, "open " + lock_path + ": " + strerror(errno));
  }
  if (util::retry_eintr([&] { return flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
    return fail(error, errno == EWOULDBLOCK ? "in use" : std::string("lock: ") + strerror(errno));
  }
  // A writer that closed the segment between our open and our lock has removed the lock file.
  struct stat lock_st;
  if (fstat(lock.get(), &lock_st) != 0) return fail(error, std::string("stat lock: ") + strerror(errno));
  if (lock_st.st_nlink == 0) return true;

  std::vector<uint8_t> bytes;
  if (!read_all(lock.get(), &bytes)) return fail(error, "read " + lock_path + ": " + strerror(errno));
  const segment_journal::Contents journal = segment_journal::parse(bytes);

  UniqueFd video(util::retry_eintr([&] { return open(mp4_path.c_str(), O_RDWR | O_CLOEXEC); }));
  if (video.get() < 0 && errno != ENOENT) return fail(error, "open " + mp4_path + ": " + strerror(errno));
  struct stat video_st = {};
  if (video.get() >= 0 && fstat(video.get(), &video_st) != 0)
    return fail(error, std::string("stat: ") + strerror(errno));

  if (!journal.has_magic && video_st.st_size > 0) {
    return fail(error, "no journal in " + lock_path + ": not a segment this writer can finish");
  }
  if (video.get() < 0 || !journal.has_stream || journal.samples.empty()) {
    return remove_segment(mp4_path, lock_path, error);  // no frame ever reached the file
  }

  RebuildResult r = rebuild_index(video.get(), mp4_path, journal.stream, journal.samples);
  if (!r.ok) return fail(error, mp4_path + ": " + r.error);
  if (r.frames == 0) return remove_segment(mp4_path, lock_path, error);
  if (unlink(lock_path.c_str()) != 0) return fail(error, "remove " + lock_path + ": " + strerror(errno));
  sync_directory_of(mp4_path);
  return true;
}
