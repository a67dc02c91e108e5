// veltoopc: the configurator. Lists the adapters, captures the switches'
// status frames on the chosen one, maps switches to catalog models and
// writes the configuration file the device reads. Started as
//   veltoopc 'Local Area Connection' 'report'
// it writes "Report.txt" after 7 s and ends by itself.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <memory>

#include "configurator/core/report_mode.h"
#include "configurator/core/window_model.h"
#include "configurator/qt/file_dialogs.h"
#include "configurator/qt/icon.h"
#include "configurator/qt/main_window.h"
#include "configurator/qt/message_box_handler.h"

namespace {

constexpr char kUsage[] =
    "usage: veltoopc ['ADAPTER' 'report']\n"
    "\n"
    "The configurator of Kavex OPC: lists the network adapters, listens on\n"
    "the chosen one for the switches' status frames, maps each switch heard\n"
    "to a switch model, names switches and ports, and on \"Save & Close\"\n"
    "writes the configuration file the server's device reads (the registry\n"
    "value \"Configuration File\" names it).\n"
    "\n"
    "With an adapter's name and 'report' (each in single quotes, or as two\n"
    "arguments) it listens on that adapter for 7 s, writes the mapped\n"
    "switches it heard to \"Report.txt\" in the current directory and ends.\n"
    "\n"
    "Capturing needs the CAP_NET_RAW capability: the package installs the\n"
    "program with it (setcap cap_net_raw+ep /usr/bin/veltoopc); otherwise\n"
    "run it as root. Simulated adapters need no privilege.\n"
    "\n"
    "  --help      this text\n"
    "  --version   the version\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("veltoopc %s\n", KAVEX_VERSION);
    return 0;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("VeltoOPC");
  QApplication::setApplicationVersion(KAVEX_VERSION);
  QApplication::setDesktopFileName("veltoopc");
  QApplication::setWindowIcon(kavex::configurator::qt::VeltoIcon());
  kavex::configurator::qt::QtMessageBoxHandler boxes;

  // QApplication took its own options out of argv.
  const std::u16string command_line =
      kavex::configurator::CommandLineFromArguments(argc, argv);
  auto model = std::make_unique<kavex::configurator::MainWindowModel>(
      kavex::configurator::MainWindowOptions{});
  kavex::configurator::qt::MainWindow window(
      std::move(model), kavex::configurator::qt::QtFileDialogs());
  window.Start(command_line);
  // The window may have closed during start-up (nothing to wait for then).
  if (window.model().state().closed) return 0;
  return app.exec();
}
