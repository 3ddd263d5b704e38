// The scroll-back rules, chunk by chunk, without a display.
#include <gtest/gtest.h>

#include "system/orsolo/tools/cmdpanel/output_lines.h"

namespace {

QString feed(const std::vector<QByteArray> &chunks) {
  OutputLines lines;
  for (const QByteArray &chunk : chunks) lines.append_chunk(chunk);
  return lines.text();
}

QByteArray numbered(int first, int last) {
  QByteArray text;
  for (int i = first; i <= last; ++i) text += QByteArray::number(i) + "\n";
  return text;
}

TEST(OutputLines, SplitsEachChunkOnItsOwn) {
  struct Case {
    const char *name;
    std::vector<QByteArray> chunks;
    QString shown;
  };
  const std::vector<Case> cases = {
      {"no output", {}, ""},
      {"only newlines", {"\n\n\n"}, ""},
      {"missing final newline", {"a\nb"}, "a\nb"},
      {"empty parts dropped, blanks kept", {"\n\na\n\n \n"}, "a\n "},
      {"carriage returns stay", {"a\r\nb\r\n"}, "a\r\nb\r"},
      {"a line cut between reads", {"ab", "cd\n"}, "ab\ncd"},
      {"NUL ends the chunk", {QByteArray("x\0y\nz\n", 6), "w\n"}, "x\nw"},
      {"NUL first hides the chunk", {QByteArray("\0abc\n", 5)}, ""},
      {"multi-byte character whole", {"\xc3\xa9t\xc3\xa9\n"}, QString::fromUtf8("\xc3\xa9t\xc3\xa9")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(feed(c.chunks).toStdString(), c.shown.toStdString());
  }
}

TEST(OutputLines, KeepsTheNewestHundred) {
  OutputLines lines;
  lines.append_chunk(numbered(1, 100));
  EXPECT_EQ(lines.lines().size(), 100);
  EXPECT_EQ(lines.lines().front(), "1");

  lines.append_chunk(numbered(101, 101));
  EXPECT_EQ(lines.lines().size(), 100);
  EXPECT_EQ(lines.lines().front(), "2");
  EXPECT_EQ(lines.lines().back(), "101");

  // One read far larger than the window still leaves exactly its last hundred lines.
  lines.append_chunk(numbered(1000, 1500));
  EXPECT_EQ(lines.text(), QString(numbered(1401, 1500)).chopped(1));
}

}  // namespace
