// cmdpanel: a full-screen window that runs one shell command and shows the last
// lines of its standard output, with an optional title bar above them.
#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFont>
#include <QLabel>
#include <QProcess>
#include <QScrollBar>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <memory>

#include "system/orsolo/tools/cmdpanel/output_lines.h"
#include "system/orsolo/tools/cmdpanel/panel_inspection.h"
#include "system/orsolo/tools/cmdpanel/surface_transform.h"
#include "system/orsolo/tools/cmdpanel/teardown_watchdog.h"
#include "system/orsolo/tools/cmdpanel/wayland_session.h"

namespace {

constexpr int WINDOW_WIDTH = 2160;
constexpr int WINDOW_HEIGHT = 1080;
constexpr int TITLE_HEIGHT = 150;
#ifdef __SANITIZE_ADDRESS__
// The leak check of a sanitizer build runs during exit and can take many seconds on a
// loaded machine; cutting it short would hide its findings.
constexpr unsigned TEARDOWN_TIMEOUT_S = 30;
#else
constexpr unsigned TEARDOWN_TIMEOUT_S = 5;
#endif
const char *const PANEL_STYLE = "color: white; background-color: black;";

// Every way out of main() goes through here, so a stuck platform teardown
// can never keep the panel alive after its command has ended.
int leave_main(int status) {
  arm_teardown_watchdog(status, TEARDOWN_TIMEOUT_S);
  return status;
}

// The one-string form of starting a process: the line is split into the program
// and its arguments by the process library's own quoting rules.
void start_command_line(QProcess &process, const QString &command) {
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
  QStringList arguments = QProcess::splitCommand(command);
  const QString program = arguments.isEmpty() ? QString() : arguments.takeFirst();
  process.start(program, arguments, QIODevice::ReadWrite);
#else
  process.start(command, QIODevice::ReadWrite);
#endif
}

// The panel's command line; the parser handles --help and unknown options itself (and exits).
void describe_command_line(QCommandLineParser &parser, const QCommandLineOption &titleOption) {
  parser.setApplicationDescription(
      "Runs a shell command (inside bash -c \"...\") and shows the last 100 lines of its standard output\n"
      "full screen on the Wayland display, below an optional title. Ends when the command ends.");
  parser.addHelpOption();
  parser.addPositionalArgument("command", "The shell command to execute.");
  parser.addOption(titleOption);
}

bool asks_for_help(int argc, char *argv[]) {
  for (int i = 1; i < argc; i++) {
    const QByteArray arg(argv[i]);
    if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all") return true;
  }
  return false;
}

// Help needs no display: it is answered under a core application, before any window exists.
// Every other command line is read once the GUI application has taken its own options.
void answer_help_request(int argc, char *argv[], const QCommandLineOption &titleOption) {
  if (!asks_for_help(argc, argv)) return;
  QCoreApplication core(argc, argv);
  QCommandLineParser parser;
  describe_command_line(parser, titleOption);
  parser.process(core);  // prints the help and exits 0
}

}  // namespace

int main(int argc, char *argv[]) {
  const QCommandLineOption titleOption("title", "Set the title displayed at the top of the window.", "title", "");
  answer_help_request(argc, argv, titleOption);
  if (!wayland_session_reachable()) return 1;

  QApplication app(argc, argv);
  QCommandLineParser parser;
  describe_command_line(parser, titleOption);
  parser.process(app);

  const QStringList args = parser.positionalArguments();
  if (args.isEmpty()) {
    std::fprintf(stderr, "Usage: %s '<command>'\n", argv[0]);
    return leave_main(1);
  }

  QWidget window;
  window.setWindowTitle("Generic Window");
  window.setStyleSheet("background-color: black;");
  window.showFullScreen();

  QWindow *windowHandle = window.windowHandle();
  if (windowHandle == nullptr) {
    std::fprintf(stderr, "Error: Unable to obtain window handle.\n");
    return leave_main(1);
  }
  if (rotate_surface_270(windowHandle) != SurfaceTransformResult::OK) {
    std::fprintf(stderr, "Error: Unable to obtain native Wayland surface.\n");
    return leave_main(1);
  }
  window.setFixedSize(WINDOW_WIDTH, WINDOW_HEIGHT);

  QVBoxLayout layout(&window);
  layout.setSpacing(0);
  layout.setContentsMargins(0, 0, 0, 0);

  const QString title = parser.value(titleOption);
  std::unique_ptr<QLabel> titleLabel;
  if (!title.isEmpty()) {
    titleLabel = std::make_unique<QLabel>(title);
    titleLabel->setFont(QFont("Arial", 48));
    titleLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    titleLabel->setFixedSize(window.width(), TITLE_HEIGHT);
    titleLabel->setStyleSheet(PANEL_STYLE);
    layout.addWidget(titleLabel.get());
  }

  QTextEdit outputDisplay;
  outputDisplay.setFont(QFont("Consolas", 32));
  outputDisplay.setReadOnly(true);
  outputDisplay.setFixedSize(window.width(), titleLabel ? window.height() - TITLE_HEIGHT : window.height());
  outputDisplay.setStyleSheet(PANEL_STYLE);
  outputDisplay.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  layout.addWidget(&outputDisplay);

  QProcess process;
  OutputLines lines;
  QObject::connect(&process, &QProcess::readyReadStandardOutput, [&]() {
    lines.append_chunk(process.readAllStandardOutput());
    // Plain text: the command's output is shown as printed, never read as markup.
    outputDisplay.setPlainText(lines.text());
    QScrollBar *scroll = outputDisplay.verticalScrollBar();
    scroll->setValue(scroll->maximum());
  });
  QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                   [&](int, QProcess::ExitStatus) {
                     write_inspection_if_requested(window, titleLabel.get(), outputDisplay);
                     app.quit();
                   });

  // A command that cannot be started at all (no bash) never emits finished: without this the
  // panel would show an empty window for ever.
  QObject::connect(&process, &QProcess::errorOccurred, [&](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;  // the other errors end in finished
    std::fprintf(stderr, "cmdpanel: cannot start the command: %s\n", qPrintable(process.errorString()));
    app.exit(1);
  });
  // The command's standard error goes straight to the panel's own: never shown, never held in
  // memory by the panel.
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);

  const QString command = QString("bash -c \"%1\"").arg(args.first());
  start_command_line(process, command);

  return leave_main(app.exec());
}
