#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The panel's scroll-back: the newest lines of the command's standard output.
// Every chunk read from the pipe is handled on its own, exactly as it arrived:
//  - anything after the first NUL byte of the chunk is discarded,
//  - the rest is decoded as UTF-8 and split at "\n", empty parts dropped,
//    so a line that arrives in two reads becomes two lines,
//  - only the newest MAX_LINES lines are kept.
class OutputLines {
public:
  static constexpr int MAX_LINES = 100;

  void append_chunk(const QByteArray &chunk);

  // The retained lines joined by "\n", as the output area shows them.
  QString text() const { return lines_.join('\n'); }
  const QStringList &lines() const { return lines_; }

private:
  QStringList lines_;
};
