#include "common/util.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

TEST(ReadFile, RegularEmptyMissingAndPseudoFiles) {
  TestDir dir;
  ASSERT_EQ(util::write_file((dir / "data").c_str(), "ab\0cd", 5), 0);
  EXPECT_EQ(util::read_file(dir / "data"), std::string("ab\0cd", 5));

  ASSERT_EQ(util::write_file((dir / "empty").c_str(), "", 0), 0);
  EXPECT_EQ(util::read_file(dir / "empty"), "");
  EXPECT_EQ(util::read_file(dir / "missing"), "");

  // /proc files report size 0 but have content.
  std::string self = util::read_file("/proc/self/status");
  EXPECT_NE(self.find("Name:"), std::string::npos);
}

TEST(ReadFilesInDir, SkipsSubdirectories) {
  TestDir dir;
  util::write_file((dir / "a").c_str(), "1", 1);
  util::write_file((dir / "b").c_str(), "22", 2);
  ASSERT_TRUE(util::create_directories(dir / "sub", 0775));
  auto files = util::read_files_in_dir(dir.path());
  EXPECT_EQ(files, (std::map<std::string, std::string>{{"a", "1"}, {"b", "22"}}));
  EXPECT_TRUE(util::read_files_in_dir(dir / "missing").empty());
}

TEST(WriteFile, ReportsOpenFailureAndShortWrite) {
  TestDir dir;
  EXPECT_EQ(util::write_file((dir / "no/such/dir").c_str(), "x", 1), -1);
  // /dev/full accepts the open but fails every write.
  EXPECT_EQ(util::write_file("/dev/full", "x", 1, O_WRONLY), -1);
  EXPECT_EQ(util::write_file((dir / "f").c_str(), "hello", 5), 0);
  EXPECT_EQ(util::read_file(dir / "f"), "hello");
}

TEST(CreateDirectories, NestedRepeatedFileInTheWayAndEmpty) {
  TestDir dir;
  const std::string nested = dir / "a/b/c/";
  EXPECT_TRUE(util::create_directories(nested, 0775));
  struct stat st;
  ASSERT_EQ(stat((dir / "a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(util::create_directories(nested, 0775));

  util::write_file((dir / "file").c_str(), "x", 1);
  EXPECT_FALSE(util::create_directories(dir / "file", 0775));
  EXPECT_FALSE(util::create_directories(dir / "file/sub", 0775));
  EXPECT_FALSE(util::create_directories("", 0775));
}

TEST(FileExistsAndReadlink, FollowLinks) {
  TestDir dir;
  util::write_file((dir / "target").c_str(), "x", 1);
  ASSERT_EQ(symlink("target", (dir / "good").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
  EXPECT_TRUE(util::file_exists(dir / "good"));
  EXPECT_FALSE(util::file_exists(dir / "dangling"));
  EXPECT_EQ(util::readlink(dir / "good"), "target");
  EXPECT_EQ(util::readlink(dir / "target"), "");
}

TEST(Strings, DirNamePrefixSuffixHexdump) {
  struct {
    std::string path, dir;
  } dir_cases[] = {{"/a/b/file", "/a/b"}, {"a/file", "a"}, {"file", ""}, {"/file", ""}};
  for (const auto &c : dir_cases) EXPECT_EQ(util::dir_name(c.path), c.dir) << c.path;

  EXPECT_TRUE(util::starts_with("abc", ""));
  EXPECT_TRUE(util::starts_with("abc", "ab"));
  EXPECT_FALSE(util::starts_with("abc", "abcd"));
  EXPECT_TRUE(util::ends_with("abc", "bc"));
  EXPECT_TRUE(util::ends_with("abc", ""));
  EXPECT_FALSE(util::ends_with("bc", "abc"));
  EXPECT_FALSE(util::ends_with("abc", "ab"));

  const uint8_t bytes[] = {0, 255, 26};
  EXPECT_EQ(util::hexdump(bytes, 3), "00ff1a");
  EXPECT_EQ(util::string_format("%s-%03d", "x", 7), "x-007");
}

TEST(Getenv, DefaultsAndParsing) {
  const char *key = "ROADREC_UTIL_TEST_VAR";
  unsetenv(key);
  EXPECT_EQ(util::getenv(key, 5), 5);
  EXPECT_EQ(util::getenv(key, std::string("dflt")), "dflt");
  EXPECT_FLOAT_EQ(util::getenv(key, 1.5f), 1.5f);

  setenv(key, "letters", 1);
  EXPECT_EQ(util::getenv(key, 5), 0);
  setenv(key, "12abc", 1);
  EXPECT_EQ(util::getenv(key, 5), 12);
  setenv(key, "2.25", 1);
  EXPECT_FLOAT_EQ(util::getenv(key, 1.5f), 2.25f);
  setenv(key, "", 1);
  EXPECT_EQ(util::getenv(key, std::string("dflt")), "");
  unsetenv(key);
}

TEST(Random, StringsAndIntsStayInRange) {
  EXPECT_EQ(util::random_string(0), "");
  const std::string alphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string s = util::random_string(500);
  ASSERT_EQ(s.size(), 500u);
  EXPECT_EQ(s.find_first_not_of(alphabet), std::string::npos);
  for (int i = 0; i < 200; i++) {
    int v = util::random_int(3, 6);
    EXPECT_GE(v, 3);
    EXPECT_LE(v, 6);
    int n = util::random_int(-6, -3);
    EXPECT_GE(n, -6);
    EXPECT_LE(n, -3);
  }
}

TEST(Time, ValidFromJune2023) {
  auto date = [](int year, int month) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    return t;
  };
  EXPECT_FALSE(util::time_valid(date(2023, 5)));
  EXPECT_TRUE(util::time_valid(date(2023, 6)));
  EXPECT_TRUE(util::time_valid(date(2024, 1)));
  EXPECT_FALSE(util::time_valid(date(1970, 12)));
  EXPECT_TRUE(util::time_valid(util::get_time()));
}

TEST(CheckOutput, CapturesLongOutputAndIgnoresStatus) {
  std::string out = util::check_output("printf 'line1\\n'; seq 1 1000 | tr -d '\\n'; exit 3");
  EXPECT_EQ(out.substr(0, 6), "line1\n");
  EXPECT_EQ(out.size(), 6u + 2893u);  // 2893 digits in 1..1000
}

TEST(RetryEintr, GivesUpAfterHundredRetries) {
  int calls = 0;
  int ret = util::retry_eintr([&] {
    calls++;
    errno = EINTR;
    return -1;
  });
  EXPECT_EQ(ret, -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_EQ(calls, 101);

  calls = 0;
  ret = util::retry_eintr([&] {
    errno = EINTR;
    return ++calls < 3 ? -1 : 42;
  });
  EXPECT_EQ(ret, 42);
  EXPECT_EQ(calls, 3);
}

TEST(SafeStdio, WriteFlushAndRead) {
  TestDir dir;
  FILE *f = util::safe_fopen((dir / "out").c_str(), "w");
  ASSERT_NE(f, nullptr);
  const char data[] = "0123456789";
  EXPECT_EQ(util::safe_fwrite(data, 2, 5, f), 5u);
  EXPECT_EQ(util::safe_fflush(f), 0);
  fclose(f);
  EXPECT_EQ(util::read_file(dir / "out"), "0123456789");
  EXPECT_EQ(util::safe_fopen((dir / "missing/x").c_str(), "r"), nullptr);
}

TEST(ThreadControl, NameAffinityAndFdLimit) {
  EXPECT_EQ(util::set_thread_name("utiltest"), 0);
  EXPECT_EQ(util::read_file("/proc/thread-self/comm"), "utiltest\n");
  EXPECT_EQ(util::set_core_affinity({0, 5000}), 0);
  EXPECT_EQ(util::set_file_descriptor_limit(512), 0);
  struct rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  EXPECT_EQ(lim.rlim_cur, 512u);
  if (lim.rlim_max != RLIM_INFINITY) {
    EXPECT_LT(util::set_file_descriptor_limit(lim.rlim_max + 1), 0);  // above the hard limit
  }
}

}  // namespace
