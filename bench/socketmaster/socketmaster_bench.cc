// Cost of SubMaster::update(0) for the recorder's three topics, with a fresh message on each
// topic before every call, against the bare transport work on the same payloads (poll,
// receive, copy out, delete) measured in the same run on the same queues.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "strand/messaging/socketmaster.h"

namespace {

constexpr int kWarmup = 1000;
constexpr int kRounds = 20000;
const std::vector<const char *> kTopics = {"carState", "deviceState", "gpsLocation"};

uint64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000ull + t.tv_nsec;
}

// Typical messages of the three topics, built once; their bytes are published every round.
struct Payloads {
  MessageBuilder car, device, gps;
  Payloads() {
    auto cs = car.initEvent().initCarState();
    cs.setGearShifter(strand::CarState::GearShifter::DRIVE);
    cs.setVEgo(22.5f);
    cs.initCruiseState().setEnabled(true);
    cs.initWheelSpeeds().setFl(22.4f);
    auto ds = device.initEvent().initDeviceState();
    ds.setStarted(true);
    ds.setCpuTempC(61.0f);
    ds.initCpuUsagePercent(8);
    auto g = gps.initEvent().initGpsLocation();
    g.setHasFix(true);
    g.setLatitude(52.37);
    g.setLongitude(4.89);
    g.setSpeed(22.5f);
    g.initVNED(3);
  }
};

double mean(const std::vector<uint64_t> &v) {
  double sum = 0;
  for (uint64_t x : v) sum += x;
  return sum / v.size();
}

double median(std::vector<uint64_t> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

uint64_t time_update(SubMaster &sm) {
  uint64_t t0 = now_ns();
  sm.update(0);
  return now_ns() - t0;
}

uint64_t time_bare(Poller &poller, std::vector<char> &copy, long &received, bool count) {
  uint64_t t0 = now_ns();
  for (SubSocket *s : poller.poll(0)) {
    Message *m = s->receive(true);
    if (!m) continue;
    memcpy(copy.data(), m->getData(), std::min(m->getSize(), copy.size()));
    delete m;
    if (count) received++;
  }
  return now_ns() - t0;
}

}  // namespace

int main() {
  const std::string prefix = "socketmaster_bench_" + std::to_string(getpid());
  std::filesystem::create_directory("/dev/shm/" + prefix);
  setenv("TAVRIN_PREFIX", prefix.c_str(), 1);

  double update_us = 0, bare_us = 0, update_mean_us = 0, bare_mean_us = 0;
  long received = 0;
  {
    Payloads payloads;
    PubMaster pm(kTopics);
    SubMaster sm(kTopics);

    std::unique_ptr<Context> ctx(Context::create());
    std::vector<std::unique_ptr<SubSocket>> bare;
    std::unique_ptr<Poller> poller(Poller::create());
    for (const char *name : kTopics) {
      bare.emplace_back(SubSocket::create(ctx.get(), name, "127.0.0.1", true, true));
      poller->registerSocket(bare.back().get());
    }
    std::vector<char> copy(1 << 16);

    std::vector<uint64_t> update_ns, bare_ns;
    for (int i = 0; i < kWarmup + kRounds; i++) {
      pm.send("carState", payloads.car);
      pm.send("deviceState", payloads.device);
      pm.send("gpsLocation", payloads.gps);

      // Alternate which reader goes first, so neither always pays for touching the
      // freshly written queue memory first.
      uint64_t sm_ns, bare_round_ns;
      if (i % 2 == 0) {
        sm_ns = time_update(sm);
        bare_round_ns = time_bare(*poller, copy, received, i >= kWarmup);
      } else {
        bare_round_ns = time_bare(*poller, copy, received, i >= kWarmup);
        sm_ns = time_update(sm);
      }
      if (i >= kWarmup) {
        update_ns.push_back(sm_ns);
        bare_ns.push_back(bare_round_ns);
        if (!sm.updated("carState") || !sm.updated("deviceState") || !sm.updated("gpsLocation")) {
          fprintf(stderr, "a topic was not updated in round %d\n", i);
          return 1;
        }
      }
    }
    // Medians: the machine is shared, and a mean would mostly measure the neighbours.
    update_us = median(update_ns) / 1e3;
    bare_us = median(bare_ns) / 1e3;
    update_mean_us = mean(update_ns) / 1e3;
    bare_mean_us = mean(bare_ns) / 1e3;
  }
  std::filesystem::remove_all("/dev/shm/" + prefix);

  if (received != 3L * kRounds) {
    fprintf(stderr, "bare readers got %ld of %d messages\n", received, 3 * kRounds);
    return 1;
  }
  printf("SubMaster::update(0), 3 fresh topics: %.3f us per call (median of %d)\n", update_us, kRounds);
  printf("bare poll + receive + copy, same payloads: %.3f us per round (median)\n", bare_us);
  printf("ratio update / bare (medians): %.2f\n", update_us / bare_us);
  printf("means, disturbed by the machine's other load: %.3f us vs %.3f us\n", update_mean_us, bare_mean_us);
  return 0;
}
