#include "system/orsolo/tools/cmdpanel/panel_inspection.h"

#include <QFile>
#include <QFontInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPixmap>
#include <QScrollBar>
#include <QTextEdit>
#include <QWidget>

#include <cstdio>

namespace {

QJsonObject describe_geometry(const QWidget &widget) {
  const QRect rect = widget.geometry();
  return QJsonObject{{"x", rect.x()}, {"y", rect.y()}, {"width", rect.width()}, {"height", rect.height()}};
}

QJsonObject describe_font(const QWidget &widget) {
  const QFont font = widget.font();
  const QFontInfo resolved(font);
  return QJsonObject{{"family", font.family()},
                     {"point_size", font.pointSize()},
                     {"weight", font.weight()},
                     {"italic", font.italic()},
                     {"resolved_family", resolved.family()},
                     {"fixed_pitch", resolved.fixedPitch()}};
}

QJsonObject describe_window(const QWidget &window, const QLabel *title, const QTextEdit &output) {
  QJsonObject report;
  QJsonObject window_info = describe_geometry(window);
  window_info["title"] = window.windowTitle();
  window_info["style_sheet"] = window.styleSheet();
  report["window"] = window_info;

  if (title != nullptr) {
    QJsonObject title_info = describe_geometry(*title);
    title_info["text"] = title->text();
    title_info["font"] = describe_font(*title);
    title_info["alignment"] = static_cast<int>(title->alignment());
    title_info["style_sheet"] = title->styleSheet();
    report["title"] = title_info;
  }

  QJsonObject output_info = describe_geometry(output);
  output_info["text"] = output.toPlainText();
  output_info["font"] = describe_font(output);
  output_info["read_only"] = output.isReadOnly();
  output_info["style_sheet"] = output.styleSheet();
  output_info["scroll_bar_always_off"] = output.verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOff;
  output_info["scroll_value"] = output.verticalScrollBar()->value();
  output_info["scroll_maximum"] = output.verticalScrollBar()->maximum();
  report["output"] = output_info;
  return report;
}

bool write_file(const QString &path, const QByteArray &bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
    std::fprintf(stderr, "cmdpanel: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

}  // namespace

bool write_inspection_if_requested(QWidget &window, const QLabel *title,
                                   const QTextEdit &output) {
  bool ok = true;
  const QString json_path = qEnvironmentVariable("CMDPANEL_INSPECT");
  if (!json_path.isEmpty()) {
    const QJsonDocument document(describe_window(window, title, output));
    ok = write_file(json_path, document.toJson()) && ok;
  }
  const QString png_path = qEnvironmentVariable("CMDPANEL_SNAPSHOT");
  if (!png_path.isEmpty()) {
    // Render the widgets ourselves: the compositor's view of the window is rotated.
    if (!window.grab().save(png_path, "PNG")) {
      std::fprintf(stderr, "cmdpanel: cannot write %s\n", qPrintable(png_path));
      ok = false;
    }
  }
  return ok;
}
