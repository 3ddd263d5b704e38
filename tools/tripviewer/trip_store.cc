#include "tools/tripviewer/trip_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "tools/tripviewer/trip_names.h"

namespace {

constexpr const char *VIDEO_EXT = ".mp4";
constexpr const char *SUBTITLE_EXT = ".srt";
constexpr const char *LOCK_EXT = ".mp4.lock";

bool ends_with(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A directory entry of `dir_fd` as it is, a symbolic link not followed.
bool stat_entry(int dir_fd, const std::string &name, struct stat &st) {
  return fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

UniqueFd open_subdir(int dir_fd, const std::string &name) {
  return UniqueFd(openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// A regular file only: a link is refused by O_NOFOLLOW, and O_NONBLOCK keeps a FIFO from
// blocking the open before fstat turns it away.
UniqueFd open_regular(int dir_fd, const std::string &name, struct stat &st) {
  UniqueFd fd(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  return fd;
}

// Names in a directory; false when it cannot be read. Takes ownership of `fd`.
bool list_dir(UniqueFd fd, std::vector<std::string> &names) {
  DIR *dir = fdopendir(fd.get());
  if (!dir) return false;
  fd.release();
  while (struct dirent *e = readdir(dir)) names.emplace_back(e->d_name);
  closedir(dir);
  return true;
}

enum class LockState { HELD, UNHELD, GONE };

// What the lock file `name` of the directory `trip_fd`, seen as `lock`, tells of its segment,
// `locks` being the lock table read before it was seen. A recorder locks a lock file before it
// gives it its name, so one made since is looked for again in the table as it is now; and it
// removes the file before it lets go of the lock, so a file that nobody holds and that is still
// there was left by a recorder that stopped. Without the lock table every lock file counts as
// held: a segment is then never shown as interrupted.
LockState lock_state(const HeldLocks &locks, int trip_fd, const std::string &name, const struct stat &lock) {
  if (!locks.readable() || locks.exclusive_flock_on(lock.st_ino)) return LockState::HELD;
  const HeldLocks now = HeldLocks::read();
  if (!now.readable() || now.exclusive_flock_on(lock.st_ino)) return LockState::HELD;
  struct stat again;
  return stat_entry(trip_fd, name, again) ? LockState::UNHELD : LockState::GONE;
}

int64_t mtime_ns(const struct stat &st) {
  return (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

bool read_small_file(int fd, uint64_t max_bytes, std::string &out) {
  out.clear();
  char buf[16384];
  while (true) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (out.size() + (size_t)n > max_bytes) return false;
    out.append(buf, (size_t)n);
  }
}

TripStore::TripStore(std::string videos_dir) : videos_dir_(std::move(videos_dir)) {}

UniqueFd TripStore::open_root(std::string *error) const {
  // The videos directory itself may be a link (to a card, say); below it nothing is followed.
  UniqueFd fd(open(videos_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid() && error) *error = strerror(errno);
  return fd;
}

TripListing TripStore::list_trips() {
  TripListing listing;
  UniqueFd root = open_root(&listing.error);
  if (!root.valid()) return listing;
  struct statvfs vfs;
  if (fstatvfs(root.get(), &vfs) == 0) {
    listing.free_bytes = (uint64_t)vfs.f_bavail * vfs.f_frsize;
    listing.total_bytes = (uint64_t)vfs.f_blocks * vfs.f_frsize;
  }
  std::vector<std::string> names;
  if (!list_dir(UniqueFd(dup(root.get())), names)) {
    listing.error = strerror(errno);
    return listing;
  }
  listing.readable = true;
  names.erase(
      std::remove_if(names.begin(), names.end(), [](const std::string &n) { return !is_recorder_name(n); }),
      names.end());
  std::sort(names.begin(), names.end(),
            [](const std::string &a, const std::string &b) { return name_before(b, a); });
  const HeldLocks locks = HeldLocks::read();
  for (const std::string &name : names) {
    TripInfo trip;
    if (read_trip(root.get(), name, locks, trip)) listing.trips.push_back(std::move(trip));
  }

  // Forget what belonged to segments that are gone.
  std::set<std::string> seen;
  for (const TripInfo &t : listing.trips) {
    for (const SegmentInfo &s : t.segments) seen.insert(t.name + "/" + s.name);
  }
  std::lock_guard<std::mutex> lk(cache_lock_);
  for (auto it = cache_.begin(); it != cache_.end();) {
    it = seen.count(it->first) ? std::next(it) : cache_.erase(it);
  }
  return listing;
}

bool TripStore::trip(const std::string &name, TripInfo &out) {
  if (!is_recorder_name(name)) return false;
  UniqueFd root = open_root(nullptr);
  return root.valid() && read_trip(root.get(), name, HeldLocks::read(), out);
}

bool TripStore::read_trip(int root_fd, const std::string &name, const HeldLocks &locks, TripInfo &out) {
  UniqueFd trip_fd = open_subdir(root_fd, name);
  if (!trip_fd.valid()) return false;
  const int fd = trip_fd.get();
  std::vector<std::string> names;
  if (!list_dir(UniqueFd(dup(fd)), names)) return false;

  enum Kind { LOCK, VIDEO, SUBTITLES };
  static const struct {
    const char *ext;
    Kind kind;
  } KINDS[] = {{LOCK_EXT, LOCK}, {VIDEO_EXT, VIDEO}, {SUBTITLE_EXT, SUBTITLES}};

  std::map<std::string, SegmentInfo> segments;
  for (const std::string &file : names) {
    for (const auto &k : KINDS) {
      if (!ends_with(file, k.ext)) continue;
      const std::string segment = file.substr(0, file.size() - strlen(k.ext));
      struct stat st;
      if (!is_recorder_name(segment) || !stat_entry(fd, file, st)) break;
      SegmentInfo &s = segments[segment];
      s.name = segment;
      if (k.kind == LOCK) {
        const LockState lock = lock_state(locks, fd, file, st);
        s.recording = lock == LockState::HELD;
        s.interrupted = lock == LockState::UNHELD;  // GONE: closed while we looked
      } else if (S_ISREG(st.st_mode) && k.kind == VIDEO) {
        s.has_video = true;
        s.video_bytes = (uint64_t)st.st_size;
      } else if (S_ISREG(st.st_mode)) {
        s.has_subtitles = true;
        s.subtitle_bytes = (uint64_t)st.st_size;
      }
      break;
    }
  }

  out.name = name;
  out.segments.clear();
  for (auto &[segment, info] : segments) {
    const bool finished = !info.recording && !info.interrupted;
    if (!info.has_video && !info.has_subtitles && finished) continue;  // only links or odd files
    if (info.has_subtitles) {
      info.track = segment_track(fd, name + "/" + segment, segment + SUBTITLE_EXT, finished);
    }
    out.segments.push_back(std::move(info));
  }
  std::sort(out.segments.begin(), out.segments.end(),
            [](const SegmentInfo &a, const SegmentInfo &b) { return name_before(a.name, b.name); });
  return true;
}

std::shared_ptr<const SegmentTrack> TripStore::segment_track(int trip_fd, const std::string &key,
                                                             const std::string &srt_name, bool finished) {
  struct stat st;
  if (finished && stat_entry(trip_fd, srt_name, st)) {
    std::lock_guard<std::mutex> lk(cache_lock_);
    auto it = cache_.find(key);
    if (it != cache_.end() && it->second.dev == st.st_dev && it->second.ino == st.st_ino &&
        it->second.size == st.st_size && it->second.mtime_ns == mtime_ns(st)) {
      return it->second.track;
    }
  }
  UniqueFd fd = open_regular(trip_fd, srt_name, st);
  if (!fd.valid()) return nullptr;
  std::string text;
  if (!read_small_file(fd.get(), MAX_SUBTITLE_BYTES, text)) return nullptr;
  auto track = std::make_shared<const SegmentTrack>(read_segment_track(text));
  // A segment being written changes with every entry: only a finished one is kept.
  if (finished) {
    std::lock_guard<std::mutex> lk(cache_lock_);
    cache_[key] = {st.st_dev, st.st_ino, st.st_size, mtime_ns(st), track};
  }
  return track;
}

OpenedFile TripStore::open_segment_file(const std::string &trip, const std::string &segment,
                                        const std::string &ext) {
  OpenedFile out;
  if (!is_recorder_name(trip) || !is_recorder_name(segment) || (ext != VIDEO_EXT && ext != SUBTITLE_EXT))
    return out;
  UniqueFd root = open_root(nullptr);
  if (!root.valid()) return out;
  UniqueFd trip_fd = open_subdir(root.get(), trip);
  if (!trip_fd.valid()) return out;
  struct stat st;
  UniqueFd fd = open_regular(trip_fd.get(), segment + ext, st);
  if (!fd.valid()) return out;
  // Checked after the open: a lock seen here means the file was still unfinished.
  if (stat_entry(trip_fd.get(), segment + LOCK_EXT, st)) {
    // Closed while we looked (GONE): what was opened may be the unfinished file all the same.
    const LockState lock = lock_state(HeldLocks::read(), trip_fd.get(), segment + LOCK_EXT, st);
    out.status = lock == LockState::UNHELD ? FileStatus::INTERRUPTED : FileStatus::RECORDING;
    return out;
  }
  if (errno != ENOENT) {
    out.status = FileStatus::RECORDING;
    return out;
  }
  fstat(fd.get(), &st);
  out.status = FileStatus::OK;
  out.fd = std::move(fd);
  out.size = (uint64_t)st.st_size;
  return out;
}
