// The viewer's reading of the recorder's names and subtitle files, what it derives from them, and
// the text it writes back (WebVTT, HTML, byte ranges).

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/tripviewer/byte_range.h"
#include "tools/tripviewer/html.h"
#include "tools/tripviewer/subtitles.h"
#include "tools/tripviewer/track.h"
#include "tools/tripviewer/trip_names.h"
#include "tools/tripviewer/trip_view.h"

namespace {

const std::string DEG = "\xc2\xb0";
const std::string UTC = " | 2024-05-01 17:03:22 UTC";

// A subtitle file as the recorder writes it: entry n spans n-1 to n seconds.
std::string srt(const std::vector<std::string> &texts) {
  std::string out;
  for (size_t i = 0; i < texts.size(); i++) {
    char span[96];
    snprintf(span, sizeof(span), "00:00:%02zu,000 --> 00:00:%02zu,000", i, i + 1);
    out += std::to_string(i + 1) + "\n" + span + "\n" + texts[i] + "\n\n";
  }
  return out;
}

std::string fix(int mph, double lat, double lon) {
  char buf[128];
  snprintf(buf, sizeof(buf), "%d MPH | %.4f%s%c %.4f%s%c", mph, std::fabs(lat), DEG.c_str(),
           lat >= 0 ? 'N' : 'S', std::fabs(lon), DEG.c_str(), lon >= 0 ? 'E' : 'W');
  return buf + UTC;
}
const std::string NO_GPS = "No GPS" + UTC;

SegmentInfo segment(const std::string &name, const std::vector<std::string> &texts) {
  SegmentInfo s;
  s.name = name;
  s.has_video = s.has_subtitles = true;
  s.track = std::make_shared<const SegmentTrack>(read_segment_track(srt(texts)));
  return s;
}

}  // namespace

TEST(ViewerNames, OnlyTheRecorderShapesAreAccepted) {
  const struct {
    const char *name;
    bool ok;
  } cases[] = {
      {"20240501-170322", true},
      {"20240501-170322_1", true},
      {"20240501-170322_12", true},
      {"20240501-17032", false},
      {"20240501_170322", false},
      {"20240501-170322_", false},
      {"20240501-170322_0", false},
      {"20240501-170322_01", false},
      {"20240501-170322.mp4", false},
      {"..", false},
      {"", false},
      {"2024050a-170322", false},
      {"20240501-170322_1/..", false},
      {"/20240501-170322", false},
      {"20240501-170322 ", false},
      {"20240501-170322_1234567890", false},
  };
  for (const auto &c : cases) EXPECT_EQ(is_recorder_name(c.name), c.ok) << c.name;
  EXPECT_FALSE(is_recorder_name(std::string("20240501-170322\0", 16)));
  EXPECT_EQ(name_display_time("20240501-170322_3"), "2024-05-01 17:03:22");
}

TEST(ViewerNames, OrderIsTimeThenSuffixNumber) {
  EXPECT_TRUE(name_before("20240501-170322", "20240501-170322_1"));
  EXPECT_TRUE(name_before("20240501-170322_2", "20240501-170322_10"));
  EXPECT_FALSE(name_before("20240501-170322_10", "20240501-170322_2"));
  EXPECT_TRUE(name_before("20240501-170322_10", "20240501-170323"));
  EXPECT_FALSE(name_before("20240501-170322", "20240501-170322"));
}

TEST(ViewerSubtitles, ReadsEntriesAndLeavesOutOneCutOff) {
  const std::string file = srt({fix(35, 37.7749, -122.4194), NO_GPS, fix(0, -33.8688, 151.2093)});
  const std::vector<SubtitleEntry> all = parse_subtitles(file);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].index, 2);
  EXPECT_EQ(all[1].start_ms, 1000);
  EXPECT_EQ(all[1].end_ms, 2000);
  EXPECT_EQ(all[1].text, NO_GPS);

  // A file being written may end anywhere in its last entry: only whole text lines count.
  const size_t third = file.find("3\n00:00:02");
  for (size_t cut = third; cut < file.size(); cut++) {
    const size_t expected = cut >= file.size() - 1 ? 3 : 2;
    EXPECT_EQ(parse_subtitles(file.substr(0, cut)).size(), expected) << "cut at " << cut;
  }
  // Stray lines and broken entries are passed over, the entries around them kept.
  const std::string messy = "garbage\n\n" + srt({NO_GPS}) + "7\nnot a time\ntext\n\n" +
                            "8\r\n00:00:07,000 --> 00:00:08,000\r\n" + NO_GPS + "\r\n\r\n";
  const std::vector<SubtitleEntry> kept = parse_subtitles(messy);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].index, 8);
  EXPECT_EQ(kept[1].text, NO_GPS);
}

TEST(ViewerSubtitles, PositionLines) {
  const struct {
    std::string text;
    bool parsed, has_fix;
    int mph;
    double lat, lon;
  } cases[] = {
      {fix(35, 37.7749, -122.4194), true, true, 35, 37.7749, -122.4194},
      {fix(22, -33.8688, 151.2093), true, true, 22, -33.8688, 151.2093},
      {fix(0, 0, 0), true, true, 0, 0, 0},
      {"0 MPH | 0.0000" + DEG + "S 0.0000" + DEG + "W" + UTC, true, true, 0, 0, 0},
      {NO_GPS, true, false, 0, 0, 0},
      {"35 MPH | 95.0000" + DEG + "N 1.0000" + DEG + "E" + UTC, false, false, 0, 0, 0},  // no such latitude
      {"35 MPH | 37.7749" + DEG + "X 1.0000" + DEG + "E" + UTC, false, false, 0, 0, 0},
      {"35 MPH | 37.7749N 1.0000" + DEG + "E" + UTC, false, false, 0, 0, 0},
      {"35.5 MPH | 37.7749" + DEG + "N 1.0000" + DEG + "E" + UTC, false, false, 0, 0, 0},
      {"fast | 37.7749" + DEG + "N 1.0000" + DEG + "E" + UTC, false, false, 0, 0, 0},
      {"", false, false, 0, 0, 0},
  };
  for (const auto &c : cases) {
    const std::optional<Position> p = parse_position(c.text);
    ASSERT_EQ(p.has_value(), c.parsed) << c.text;
    if (!p) continue;
    EXPECT_EQ(p->has_fix, c.has_fix) << c.text;
    EXPECT_EQ(p->mph, c.mph) << c.text;
    EXPECT_DOUBLE_EQ(p->lat, c.lat) << c.text;
    EXPECT_DOUBLE_EQ(p->lon, c.lon) << c.text;
  }
}

TEST(ViewerSubtitles, WebVttKeepsEveryCueExactly) {
  const std::string in =
      "1\n00:00:00,000 --> 00:00:01,000\n35 MPH | 37.7749\xc2\xb0N 122.4194\xc2\xb0W | 2024-05-01 17:03:22 "
      "UTC\n\n"
      "2\n00:59:59,000 --> 01:00:00,000\nNo GPS | 2024-05-01 17:03:23 UTC\n\n"
      "3\n123:00:00,250 --> 123:00:01,000\nA <b> & C --> D\n\n";
  const std::string expected =
      "WEBVTT\n\n"
      "1\n00:00:00.000 --> 00:00:01.000\n35 MPH | 37.7749\xc2\xb0N 122.4194\xc2\xb0W | 2024-05-01 17:03:22 "
      "UTC\n\n"
      "2\n00:59:59.000 --> 01:00:00.000\nNo GPS | 2024-05-01 17:03:23 UTC\n\n"
      "3\n123:00:00.250 --> 123:00:01.000\nA &lt;b&gt; &amp; C --&gt; D\n\n";
  EXPECT_EQ(subtitles_to_webvtt(parse_subtitles(in)), expected);
  EXPECT_EQ(subtitles_to_webvtt({}), "WEBVTT\n\n");
}

TEST(ViewerTrack, DistanceTopSpeedAndLength) {
  // One degree of latitude along a meridian.
  EXPECT_NEAR(distance_m(0, 0, 1, 0), 111195.08, 0.5);
  EXPECT_NEAR(distance_m(37.7749, -122.4194, 37.7749, -122.4194), 0, 1e-9);

  // 0.001 degrees north twice, once across an entry without fix.
  const SegmentTrack t = read_segment_track(
      srt({fix(0, 37.7749, -122.4194), fix(10, 37.7759, -122.4194), NO_GPS, fix(22, 37.7769, -122.4194)}));
  EXPECT_EQ(t.entries, 4);
  EXPECT_DOUBLE_EQ(t.seconds, 4);
  ASSERT_EQ(t.fixes.size(), 3u);
  EXPECT_EQ(t.fixes[2].entry, 3);
  EXPECT_DOUBLE_EQ(t.fixes[2].t, 3);
  EXPECT_NEAR(t.distance_m, 2 * 111.195, 0.01);
  EXPECT_EQ(t.top_mph, 22);

  const SegmentTrack none = read_segment_track(srt({NO_GPS, NO_GPS}));
  EXPECT_EQ(none.top_mph, -1);
  EXPECT_TRUE(none.fixes.empty());
  EXPECT_DOUBLE_EQ(none.seconds, 2);
}

TEST(ViewerTripView, SegmentsJoinIntoOneRouteBrokenWhereTheFixIsLost) {
  TripInfo trip;
  trip.name = "20240501-170322";
  trip.segments = {
      segment("20240501-170322", {fix(10, 37.7749, -122.4194), fix(12, 37.7759, -122.4194)}),
      segment("20240501-170325", {fix(14, 37.7769, -122.4194), NO_GPS, fix(30, 37.7779, -122.4184)}),
      segment("20240501-170328", {fix(20, 37.7789, -122.4184), NO_GPS}),
      segment("20240501-170330", {fix(5, 37.7799, -122.4184)}),
  };
  trip.segments[3].recording = true;

  const TripSummary s = summarize(trip);
  EXPECT_EQ(s.start, "2024-05-01 17:03:22");
  EXPECT_DOUBLE_EQ(s.seconds, 2 + 3 + 2 + 1);
  EXPECT_EQ(s.segments, 4u);
  EXPECT_TRUE(s.recording);
  EXPECT_EQ(s.top_mph, 30);
  EXPECT_EQ(s.fixes, 6u);
  // Every step between consecutive fixes counts, within and between segments.
  double expected = 0;
  const double pts[][2] = {{37.7749, -122.4194}, {37.7759, -122.4194}, {37.7769, -122.4194},
                           {37.7779, -122.4184}, {37.7789, -122.4184}, {37.7799, -122.4184}};
  for (int i = 1; i < 6; i++) expected += distance_m(pts[i - 1][0], pts[i - 1][1], pts[i][0], pts[i][1]);
  EXPECT_NEAR(s.distance_m, expected, 1e-6);

  const TripPlot plot = plot_trip(trip);
  EXPECT_EQ(plot.segment_offsets, (std::vector<double>{0, 2, 5, 7}));
  ASSERT_EQ(plot.points.size(), 6u);
  std::vector<bool> starts;
  for (const PlotPoint &p : plot.points) starts.push_back(p.starts_stretch);
  EXPECT_EQ(starts, (std::vector<bool>{true, false, false, true, false, true}));
  EXPECT_DOUBLE_EQ(plot.points[3].trip_t, 2 + 2);
  // North is up, and the drawing fills its box.
  EXPECT_GT(plot.points[0].y, plot.points[5].y);
  for (const PlotPoint &p : plot.points) {
    EXPECT_GE(p.x, TripPlot::MARGIN - 1e-9);
    EXPECT_LE(p.x, TripPlot::WIDTH - TripPlot::MARGIN + 1e-9);
    EXPECT_GE(p.y, TripPlot::MARGIN - 1e-9);
    EXPECT_LE(p.y, TripPlot::HEIGHT - TripPlot::MARGIN + 1e-9);
  }
  EXPECT_NEAR(plot.points[5].y - plot.points[0].y, -(TripPlot::HEIGHT - 2 * TripPlot::MARGIN), 1e-6);
}

TEST(ViewerByteRanges, HeldToTheFile) {
  const struct {
    const char *header;
    uint64_t size;
    ByteRange::Kind kind;
    uint64_t first, last;
  } cases[] = {
      {"", 1000, ByteRange::WHOLE, 0, 0},
      {"bytes=100-199", 1000, ByteRange::PART, 100, 199},
      {"bytes=0-0", 1000, ByteRange::PART, 0, 0},
      {"bytes=990-", 1000, ByteRange::PART, 990, 999},
      {"bytes=-10", 1000, ByteRange::PART, 990, 999},
      {"bytes=-5000", 1000, ByteRange::PART, 0, 999},
      {"bytes=900-5000", 1000, ByteRange::PART, 900, 999},
      {"bytes= 5 - 9 ", 1000, ByteRange::PART, 5, 9},
      {"bytes=999-999", 1000, ByteRange::PART, 999, 999},
      {"bytes=1000-", 1000, ByteRange::UNSATISFIABLE, 0, 0},
      {"bytes=2000-3000", 1000, ByteRange::UNSATISFIABLE, 0, 0},
      {"bytes=-0", 1000, ByteRange::UNSATISFIABLE, 0, 0},
      {"bytes=0-", 0, ByteRange::UNSATISFIABLE, 0, 0},
      {"bytes=0-1,5-6", 1000, ByteRange::WHOLE, 0, 0},
      {"bytes=500-100", 1000, ByteRange::WHOLE, 0, 0},
      {"bytes=abc", 1000, ByteRange::WHOLE, 0, 0},
      {"bytes=-", 1000, ByteRange::WHOLE, 0, 0},
      {"items=0-10", 1000, ByteRange::WHOLE, 0, 0},
      {"bytes=99999999999999999999-", 1000, ByteRange::WHOLE, 0, 0},
  };
  for (const auto &c : cases) {
    const ByteRange r = parse_byte_range(c.header, c.size);
    EXPECT_EQ(r.kind, c.kind) << c.header;
    if (r.kind != ByteRange::PART) continue;
    EXPECT_EQ(r.first, c.first) << c.header;
    EXPECT_EQ(r.last, c.last) << c.header;
  }
}

TEST(ViewerHtml, EscapesEveryMarkupCharacter) {
  EXPECT_EQ(html_escape("<a href=\"x\" title='y'>&amp;</a>"),
            "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;amp;&lt;/a&gt;");
  EXPECT_EQ(html_escape("20240501-170322 \xc2\xb0"), "20240501-170322 \xc2\xb0");
  const std::string page = html_page("<script>", "<p>body</p>");
  EXPECT_NE(page.find("<title>&lt;script&gt;</title>"), std::string::npos);
}

TEST(ViewerHtml, Figures) {
  EXPECT_EQ(format_duration(45), "45 s");
  EXPECT_EQ(format_duration(185), "3 min 05 s");
  EXPECT_EQ(format_duration(3720), "1 h 02 min");
  EXPECT_EQ(format_bytes(812), "812 B");
  EXPECT_EQ(format_bytes(12345678), "12.3 MB");
  EXPECT_EQ(format_bytes(1500000000), "1.5 GB");
  EXPECT_EQ(format_distance(1609.344), "1.00 mi (1.61 km)");
}
