#include "system/orsolo/tools/cmdpanel/output_lines.h"

#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
static constexpr auto SKIP_EMPTY_PARTS = Qt::SkipEmptyParts;
#else
static constexpr auto SKIP_EMPTY_PARTS = QString::SkipEmptyParts;
#endif

void OutputLines::append_chunk(const QByteArray &chunk) {
  const int nul = chunk.indexOf('\0');
  const QByteArray visible = nul < 0 ? chunk : chunk.left(nul);

  lines_.append(QString::fromUtf8(visible).split('\n', SKIP_EMPTY_PARTS));
  while (lines_.size() > MAX_LINES) {
    lines_.removeFirst();
  }
}
