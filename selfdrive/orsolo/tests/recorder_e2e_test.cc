// The recorder end to end on its everyday paths: trips, rotation, shutdown, subtitles.

#include <regex>

#include "selfdrive/orsolo/tests/recorder_e2e_fixture.h"

TEST_F(RecorderE2E, TripOpensAtStartAndSigtermFinalisesTheSegment) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n0 gear park\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_EQ(trips().size(), 1u);
  const std::string dir = videos() + "/" + trips()[0];
  EXPECT_EQ(list_dir(dir, ".lock").size(), 1u);
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 3; }, 30s, LOOK_EVERY));

  const int status = recorder_->stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(wait_logged("roadrecd: stopped", 10s));
  // An exit request finalises quietly: no segment or trip closing lines.
  EXPECT_FALSE(logged("roadrecd: segment closed"));
  EXPECT_FALSE(logged("roadrecd: trip ended"));
  const std::vector<std::string> l = recorder_logs();
  ASSERT_GE(l.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(l.begin(), l.begin() + 5), (std::vector<std::string>{"roadrecd: waiting for system time", "roadrecd: system time valid",
                                               "roadrecd: started, connecting to imagerd road stream",
                                               "roadrecd: vipc connected, waiting for valid frame",
                                               "roadrecd: first valid frame 320x240 stride=320"}));
  EXPECT_GE(expect_finalised_trips(), 20);
  // The first segment of a trip starts with a key frame: every frame decodes.
  const std::string dir0 = videos() + "/" + trips()[0];
  const std::string mp4 = dir0 + "/" + list_dir(dir0, ".mp4")[0];
  EXPECT_EQ(mp4_frames(mp4), mp4_packets(mp4));
}

TEST_F(RecorderE2E, IgnitionEdgeOpensNewTripDirectory) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n3 ignition on\n");
  ASSERT_TRUE(wait_logged(EDGE_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return trips().size() == 2 && newest_srt_entries() >= 2; }, 30s, LOOK_EVERY));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  auto l = recorder_logs();
  auto edge = std::find(l.begin(), l.end(), EDGE_LOG);
  ASSERT_NE(edge, l.end());
  ASSERT_GE(l.end() - edge, 5);
  EXPECT_EQ(edge[1], "roadrecd: segment closed");
  EXPECT_EQ(edge[2], "roadrecd: trip ended");
  EXPECT_EQ(edge[3], "roadrecd: new trip " + videos() + "/" + trips()[1]);
  expect_finalised_trips();
}

TEST_F(RecorderE2E, RotationPutsExactly1800FramesInASegment) {
  start_recorder();
  // Fed far faster than real time. A recorder that falls behind loses received frames, never
  // processed ones: the segment still gets exactly its 1800.
  sim_ = start_simulator("0 ignition off\n", {"--fps", "400"});
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(
      wait_until([&] { return count_logged_prefix("roadrecd: opening segment ") >= 2; }, 180s, LOOK_EVERY));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  ASSERT_EQ(trips().size(), 1u);
  const std::string dir = videos() + "/" + trips()[0];
  auto segments = list_dir(dir, ".mp4");
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(mp4_packets(dir + "/" + segments[0]), 1800);
  EXPECT_EQ(mp4_frames(dir + "/" + segments[0]), 1800);
  EXPECT_GT(mp4_packets(dir + "/" + segments[1]), 0);
  expect_finalised_trips();
}

TEST_F(RecorderE2E, ShutdownKeyIsAcknowledgedAndTheProcessExits) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 2; }, 30s, LOOK_EVERY));
  const std::string key = request_shutdown();

  const int status = recorder_->wait_exit(30000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(util::read_file(key), "0");
  ASSERT_TRUE(wait_logged("roadrecd: stopped", 10s));
  auto l = recorder_logs();
  ASSERT_GE(l.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(l.end() - 5, l.end()),
            (std::vector<std::string>{"roadrecd: shutdown requested, closing trip", "roadrecd: segment closed",
                                      "roadrecd: trip ended", "roadrecd: shutdown ack sent, exiting",
                                      "roadrecd: stopped"}));
  expect_finalised_trips();
}

TEST_F(RecorderE2E, SubtitlesHoldExactLinesForFixNoFixAndEveryHemisphere) {
  start_recorder();
  // Positions are published once a second, just after each whole second; each fix holds still
  // (the route between a fix and the same fix) over three publications.
  sim_ = start_simulator(
      "0 gps none\n"
      "2.5 gps 37.7749 -122.4194 15.6464\n"
      "5.5 gps 37.7749 -122.4194 15.6464\n"
      "5.6 gps -33.8688 151.2093 10.0\n"
      "8.5 gps -33.8688 151.2093 10.0\n"
      "8.6 gps none\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 12; }, 60s, LOOK_EVERY));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);

  ASSERT_EQ(trips().size(), 1u);
  const std::string dir = videos() + "/" + trips()[0];
  auto srts = list_dir(dir, ".srt");
  ASSERT_EQ(srts.size(), 1u);
  const std::string text = util::read_file(dir + "/" + srts[0]);

  // Entry by entry: index, span counted in whole seconds, one of the three third lines.
  const std::string utc = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC)";
  const std::regex entry_re(R"((\d+)\n(\d\d:\d\d:\d\d,000) --> (\d\d:\d\d:\d\d,000)\n([^\n]*)\n\n)");
  const std::regex nw("35 MPH \\| 37\\.7749\xc2\xb0N 122\\.4194\xc2\xb0W \\| " + utc);
  const std::regex se("22 MPH \\| 33\\.8688\xc2\xb0S 151\\.2093\xc2\xb0" "E \\| " + utc);
  const std::regex none("No GPS \\| " + utc);
  int n = 0, seen_nw = 0, seen_se = 0, seen_none = 0;
  size_t consumed = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), entry_re); it != std::sregex_iterator(); ++it) {
    const std::smatch &m = *it;
    ASSERT_EQ((size_t)m.position(0), consumed) << "stray bytes before entry " << n + 1;
    consumed += m.length(0);
    n++;
    char span[64];
    snprintf(span, sizeof(span), "00:00:%02d,000|00:00:%02d,000", n - 1, n);
    EXPECT_EQ(m[1].str(), std::to_string(n));
    EXPECT_EQ(m[2].str() + "|" + m[3].str(), span);
    const std::string line = m[4];
    seen_nw += std::regex_match(line, nw);
    seen_se += std::regex_match(line, se);
    seen_none += std::regex_match(line, none);
    EXPECT_TRUE(std::regex_match(line, nw) || std::regex_match(line, se) || std::regex_match(line, none)) << line;
  }
  EXPECT_EQ(consumed, text.size());
  EXPECT_GE(n, 12);
  EXPECT_GT(seen_nw, 0);
  EXPECT_GT(seen_se, 0);
  EXPECT_GT(seen_none, 0);
  EXPECT_EQ(srt_packets(dir + "/" + srts[0]), n);
}

TEST_F(RecorderE2E, GarbageOnCarStateDoesNotStopTheRecording) {
  start_recorder();
  sim_ = start_simulator("0 gear drive\n3 garbage carState\n6 valid carState\n");
  ASSERT_TRUE(wait_logged("roadrecd: back in drive, resuming trip")) << recorder_->output();
  ASSERT_TRUE(wait_until(
      [&] { return count_logged_prefix("roadrecd: invalid carState message, read as absent") > 0; }, 30s,
      LOOK_EVERY));
  // Unreadable gear reads as not in drive; once readable again the trip resumes, same segment.
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: back in drive, resuming trip") >= 2; },
                         30s, LOOK_EVERY));
  EXPECT_TRUE(recorder_->running());
  // Three seconds of garbage at 100 messages a second: logged about once a second, not per message.
  EXPECT_LE(count_logged_prefix("roadrecd: invalid carState message"), 6);
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  EXPECT_EQ(trips().size(), 1u);
  expect_finalised_trips();
}
