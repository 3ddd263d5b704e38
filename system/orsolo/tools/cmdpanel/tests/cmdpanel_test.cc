// The panel against a real headless compositor: what it shows, how it is laid
// out, and how it ends. Each run is observed through the panel's inspection hook.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/util.h"
#include "system/orsolo/tools/cmdpanel/tests/panel_harness.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

using json = nlohmann::json;

namespace {

constexpr auto RUN_TIMEOUT = std::chrono::seconds(60);

// Writes, then waits (bounded) until the reader has taken everything out of the
// pipe before writing again, so each part reaches the panel as a read of its own.
const char *const CHUNK_WRITER = R"(
import fcntl, os, struct, sys, termios, time
for part in sys.argv[1:]:
    os.write(1, part.encode().decode('unicode_escape').encode('latin-1'))
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        pending = struct.unpack('i', fcntl.ioctl(1, termios.FIONREAD, b'\0\0\0\0'))[0]
        if pending == 0:
            break
        time.sleep(0.005)
)";

class CmdPanel : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(compositor_.ready()) << "weston did not start:\n" << compositor_.log();
    inspect_path_ = scratch_.path() + "/panel.json";
  }

  // Runs the panel to its end against the compositor; `extra` overrides the environment.
  RunResult run_panel(const std::vector<std::string> &args, EnvList extra = {}) {
    std::vector<std::string> argv{CMDPANEL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    EnvList env = compositor_.client_env();
    env.emplace_back("CMDPANEL_INSPECT", inspect_path_);
    env.emplace_back("LSAN_OPTIONS", "suppressions=" CMDPANEL_LSAN_SUPPRESSIONS ":print_suppressions=0:fast_unwind_on_malloc=0");
    env.insert(env.end(), extra.begin(), extra.end());
    std::remove(inspect_path_.c_str());  // a report left by an earlier run must not be read as this one's
    RunOptions options;
    for (const auto &[name, value] : env) options.env[name] = value;
    options.timeout = RUN_TIMEOUT;
    return run_program(argv, options);
  }

  // Runs a command that must end normally and returns what the panel showed at its end.
  json show(const std::vector<std::string> &args, EnvList extra = {}) {
    const RunResult result = run_panel(args, std::move(extra));
    EXPECT_FALSE(result.timed_out) << "the panel did not end with its command";
    EXPECT_TRUE(result.exited && result.status == 0)
        << "status " << result.status << ", signal " << result.signal << "\n"
        << result.err;
    const std::string report = util::read_file(inspect_path_);
    if (report.empty()) {
      ADD_FAILURE() << "no inspection report; stderr:\n" << result.err;
      return json::object();
    }
    return json::parse(report);
  }

  std::string write_script(const std::string &name, const std::string &text) {
    const std::string path = scratch_.path() + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  HeadlessCompositor compositor_;
  TestDir scratch_{"cmdpanel"};
  std::string inspect_path_;
};

std::string numbered_lines(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) {
    text += (i == first ? "" : "\n") + std::to_string(i);
  }
  return text;
}

void expect_rect(const json &widget, int x, int y, int width, int height) {
  EXPECT_EQ(widget.value("x", -1), x);
  EXPECT_EQ(widget.value("y", -1), y);
  EXPECT_EQ(widget.value("width", -1), width);
  EXPECT_EQ(widget.value("height", -1), height);
}

// Width and height from the IHDR chunk of a PNG file, or {0, 0}.
std::pair<uint32_t, uint32_t> png_size(const std::string &bytes) {
  if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0) return {0, 0};
  auto be32 = [&](size_t at) {
    return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
           (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
  };
  return {be32(16), be32(20)};
}

TEST_F(CmdPanel, KeepsTheNewestHundredLinesScrolledToTheEnd) {
  const json shown = show({"seq 1 150"});
  const json &output = shown["output"];
  EXPECT_EQ(output.value("text", ""), numbered_lines(51, 150));
  // The newest line is in view: the text is taller than the area and scrolled to the bottom.
  EXPECT_GT(output.value("scroll_maximum", 0), 0);
  EXPECT_EQ(output.value("scroll_value", -1), output.value("scroll_maximum", 0));
}

TEST_F(CmdPanel, TitleBarAboveTheOutputArea) {
  const std::string snapshot = scratch_.path() + "/panel.png";
  const json shown = show({"--title", "Engine check", "echo ready"}, {{"CMDPANEL_SNAPSHOT", snapshot}});

  const json &window = shown["window"];
  expect_rect(window, 0, 0, 2160, 1080);
  EXPECT_EQ(window.value("title", ""), "Generic Window");
  EXPECT_EQ(window.value("style_sheet", ""), "background-color: black;");

  ASSERT_TRUE(shown.contains("title"));
  const json &title = shown["title"];
  expect_rect(title, 0, 0, 2160, 150);
  EXPECT_EQ(title.value("text", ""), "Engine check");
  EXPECT_EQ(title.value("alignment", 0), 0x84);
  EXPECT_EQ(title.value("style_sheet", ""), "color: white; background-color: black;");
  EXPECT_EQ(title["font"].value("family", ""), "Arial");
  EXPECT_EQ(title["font"].value("point_size", 0), 48);
  EXPECT_FALSE(title["font"].value("italic", true));
  // With fonts-liberation2 installed, fontconfig serves "Arial" with its metric twin.
  EXPECT_EQ(title["font"].value("resolved_family", ""), "Liberation Sans");

  const json &output = shown["output"];
  expect_rect(output, 0, 150, 2160, 930);
  EXPECT_EQ(output.value("text", ""), "ready");
  EXPECT_TRUE(output.value("read_only", false));
  EXPECT_TRUE(output.value("scroll_bar_always_off", false));
  EXPECT_EQ(output.value("style_sheet", ""), "color: white; background-color: black;");
  EXPECT_EQ(output["font"].value("family", ""), "Consolas");
  EXPECT_EQ(output["font"].value("point_size", 0), 32);
  EXPECT_TRUE(output["font"].value("fixed_pitch", false));

  EXPECT_EQ(png_size(util::read_file(snapshot)), std::make_pair(2160u, 1080u));
}

TEST_F(CmdPanel, WithoutTitleTheOutputFillsTheWindow) {
  // No option and an empty value both mean no title bar.
  for (const std::vector<std::string> &args : {std::vector<std::string>{"echo x"},
                                               std::vector<std::string>{"--title", "", "echo x"}}) {
    SCOPED_TRACE(args.size() == 1 ? "no --title" : "empty --title");
    const json shown = show(args);
    EXPECT_FALSE(shown.contains("title"));
    expect_rect(shown["window"], 0, 0, 2160, 1080);
    expect_rect(shown["output"], 0, 0, 2160, 1080);
    EXPECT_EQ(shown["output"].value("text", ""), "x");
  }
}

// Each case: the panel's command and the text the output area holds at its end.
struct OutputCase {
  const char *name;
  std::vector<std::string> args;
  std::string shown;
};

TEST_F(CmdPanel, OutputHandling) {
  const std::string writer = write_script("chunks.py", CHUNK_WRITER);
  const std::vector<OutputCase> cases = {
      {"empty lines dropped, a line of blanks kept", {"printf 'a\\n\\n\\n   \\nb\\n\\n'"}, "a\n   \nb"},
      {"a line arriving in two reads becomes two lines", {"python3 " + writer + " abc 'def\\n'"}, "abc\ndef"},
      {"the rest of a read after a NUL is lost, later reads are not",
       {"python3 " + writer + " 'keep\\x00lost\\nlost too\\n' 'next\\n'"}, "keep\nnext"},
      {"output is shown as plain text, never as markup", {"printf '<b>bold</b> &amp; <i>x</i>\\n'"},
       "<b>bold</b> &amp; <i>x</i>"},
      {"output is decoded as UTF-8", {"printf 'caf\\xc3\\xa9 \\xe2\\x86\\x92 ok\\n'"}, "caf\xc3\xa9 \xe2\x86\x92 ok"},
      {"only the first command is run", {"echo one", "echo two"}, "one"},
      {"a double quote ends the shell argument early", {"echo \"a b\""}, "a"},
      {"standard error is not shown", {"echo seen; echo unseen >&2"}, "seen"},
  };
  for (const OutputCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show(c.args)["output"].value("text", "<missing>"), c.shown);
  }
}

TEST_F(CmdPanel, EndsWithStatusZeroWhenItsCommandEnds) {
  // However the command ends, the panel leaves its event loop and exits with 0.
  for (const char *command : {"sleep 1; echo late", "exit 3", "kill -KILL $$"}) {
    SCOPED_TRACE(command);
    const RunResult result = run_panel({command});
    EXPECT_FALSE(result.timed_out);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0) << result.err;
  }
}

TEST_F(CmdPanel, UsageErrorWithoutCommand) {
  const RunResult result = run_panel({});
  ASSERT_FALSE(result.timed_out);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, std::string("Usage: ") + CMDPANEL_PROGRAM + " '<command>'\n");
}

TEST_F(CmdPanel, ParserHandlesHelpAndUnknownOptions) {
  // Help needs no display: it says what the panel does and what it takes.
  const RunResult help = run_panel({"--help"}, {{"WAYLAND_DISPLAY", "cmdpanel-no-such-display"}});
  ASSERT_FALSE(help.timed_out);
  EXPECT_TRUE(help.exited);
  EXPECT_EQ(help.status, 0) << help.err;
  EXPECT_NE(help.out.find("shows the last 100 lines of its standard output"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("The shell command to execute."), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("Set the title displayed at the top of the window."), std::string::npos);

  const RunResult unknown = run_panel({"--bogus", "echo x"});
  ASSERT_FALSE(unknown.timed_out);
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("Unknown option 'bogus'."), std::string::npos) << unknown.err;
}

TEST_F(CmdPanel, NoWaylandSurfaceIsAnErrorAndStartsNothing) {
  const std::string marker = scratch_.path() + "/started";
  const RunResult result = run_panel({"touch " + marker}, {{"QT_QPA_PLATFORM", "offscreen"}});
  ASSERT_FALSE(result.timed_out);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("Error: Unable to obtain native Wayland surface.\n"), std::string::npos) << result.err;
  struct stat info;
  EXPECT_NE(stat(marker.c_str(), &info), 0) << "the command was started";
}

// Without a Wayland session the panel says so in one sentence and ends with status 1, before
// anything is started; that includes the default platform (none asked for) and a missing
// runtime directory.
TEST_F(CmdPanel, NoWaylandSessionIsOneClearSentence) {
  const std::string marker = scratch_.path() + "/started";
  const EnvList cases[] = {
      {{"WAYLAND_DISPLAY", "cmdpanel-no-such-display"}},
      {{"WAYLAND_DISPLAY", "cmdpanel-no-such-display"}, {"QT_QPA_PLATFORM", ""}},
      {{"XDG_RUNTIME_DIR", ""}},
  };
  for (const EnvList &env : cases) {
    SCOPED_TRACE(env.front().first + "=" + env.front().second + (env.size() > 1 ? ", no platform" : ""));
    const RunResult result = run_panel({"touch " + marker}, env);
    ASSERT_FALSE(result.timed_out);
    EXPECT_TRUE(result.exited) << "ended by signal " << result.signal << "\n" << result.err;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("cmdpanel: no Wayland session to show the panel on (", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    struct stat info;
    EXPECT_NE(stat(marker.c_str(), &info), 0) << "the command was started";
  }
}

// A command that cannot be started (here: no bash on the PATH) never ends on its own; the
// panel reports it and ends instead of showing an empty window for ever.
TEST_F(CmdPanel, CommandThatCannotStartIsAnError) {
  const RunResult result = run_panel({"echo never"}, {{"PATH", scratch_.path()}});
  ASSERT_FALSE(result.timed_out) << "the panel waited for a command that never started";
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("cmdpanel: cannot start the command: "), std::string::npos) << result.err;
}

// The command's standard error reaches the panel's own as it is written: the panel holds none
// of it, however much comes.
TEST_F(CmdPanel, StandardErrorGoesToThePanelsOwn) {
  const json shown = show({"yes '~' | head -c 2000000 >&2; echo seen"});
  EXPECT_EQ(shown["output"].value("text", ""), "seen");
  const RunResult result = run_panel({"yes '~' | head -c 2000000 >&2"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '~'), 1000000);
}

// The device's display is mounted rotated: the window's surface gets the 270-degree buffer
// transform (3) and a commit of its own right after it (before any other request of the
// client), and keeps that transform for whatever is drawn afterwards. Seen in the protocol
// trace of the client library. No platform is asked for: the panel picks Wayland by itself.
TEST_F(CmdPanel, SurfaceIsTurnedBy270DegreesAndCommitted) {
  const RunResult result = run_panel({"echo x"}, {{"WAYLAND_DEBUG", "1"}, {"QT_QPA_PLATFORM", ""}});
  ASSERT_FALSE(result.timed_out);
  ASSERT_EQ(result.status, 0) << result.err.substr(0, 4000);

  // Every request the client sent, in order: (object, request with its arguments).
  std::vector<std::pair<std::string, std::string>> requests;
  const std::regex request_line(R"(-> (\w+@\d+)\.(\w+\(.*\)))");
  std::istringstream lines(result.err);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, request_line)) requests.emplace_back(m[1], m[2]);
  }
  // The window's surface is the one made into a desktop window (the xdg surface of the shell).
  std::string window;
  const std::regex xdg_surface(R"(get_xdg_surface\(new id xdg_surface@\d+, (wl_surface@\d+)\))");
  for (const auto &[object, request] : requests) {
    std::smatch m;
    if (window.empty() && std::regex_search(request, m, xdg_surface)) window = m[1];
  }
  ASSERT_FALSE(window.empty()) << "no window surface in the trace";

  const auto is = [&](const std::string &request) {
    return [&, request](const std::pair<std::string, std::string> &r) { return r.first == window && r.second == request; };
  };
  const auto rotated = std::find_if(requests.begin(), requests.end(), is("set_buffer_transform(3)"));
  ASSERT_NE(rotated, requests.end()) << "the window's surface was never turned";
  ASSERT_NE(rotated + 1, requests.end());
  EXPECT_TRUE(is("commit()")(*(rotated + 1))) << "the transform was not committed right away; next: "
                                              << (rotated + 1)->first << "." << (rotated + 1)->second;
  // Nothing turns it back for the frames drawn afterwards.
  for (auto it = rotated + 1; it < requests.end(); ++it) {
    EXPECT_FALSE(it->first == window && it->second.rfind("set_buffer_transform(", 0) == 0)
        << "turned again later: " << it->second;
  }
}

}  // namespace
