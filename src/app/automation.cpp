#include "app/automation.h"

#include <unistd.h>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QInputDialog>
#include <QMessageBox>
#include <QObject>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "app/mainwindow.h"
#include "app/matchdialog.h"
#include "app/program.h"

namespace sl::app {

namespace {

// Runs `action` once, right after the window's first expose has been
// handled (so it has been painted).
class FirstExpose : public QObject {
 public:
  FirstExpose(QWindow* window, std::function<void()> action) : QObject(window), action_(std::move(action)) {
    window->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Expose && action_) {
      auto action = std::move(action_);
      action_ = nullptr;
      watched->removeEventFilter(this);
      QTimer::singleShot(0, watched, std::move(action));
    }
    return false;
  }

 private:
  std::function<void()> action_;
};

}  // namespace

double MillisecondsSinceProcessStart() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  if (!std::getline(stat, line)) return -1;
  // Fields after the command name (which may hold blanks) start after ')'.
  const auto close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long long startTicks = 0;
  // Field 3 is the state; the start time is field 22.
  for (int i = 3; i <= 22 && rest >> field; ++i)
    if (i == 22) startTicks = std::stoull(field);
  const long hz = ::sysconf(_SC_CLK_TCK);
  timespec now{};
  if (hz <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &now) != 0) return -1;
  const double nowMs = static_cast<double>(now.tv_sec) * 1000.0 + now.tv_nsec / 1e6;
  return nowMs - static_cast<double>(startTicks) * 1000.0 / static_cast<double>(hz);
}

long PeakResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

void InstallAutomation(Program& program, const config::WindowAutomation& automation,
                       std::chrono::steady_clock::time_point mainEntered) {
  MainWindow& window = program.Window();
  const bool probe = automation.startupProbe;
  const long pick = automation.pickDrive;
  const QString shot = QString::fromLocal8Bit(automation.screenshot.c_str());
  const long delay = automation.screenshotDelayMs;
  const bool lookup = automation.lookup;
  const long matchRow = automation.matchRow;
  const QString matchShot = QString::fromLocal8Bit(automation.matchScreenshot.c_str());
  const QString screenShot = QString::fromLocal8Bit(automation.screenScreenshot.c_str());
  if (!probe && pick < 0 && shot.isEmpty() && !lookup && screenShot.isEmpty()) return;

  if (!screenShot.isEmpty()) {
    // A timer, not the window's expose: it also fires inside a modal
    // dialog's loop, which may run before the main window is ever painted.
    QTimer::singleShot(static_cast<int>(delay < 0 ? 0 : delay), &window, [screenShot] {
      QScreen* screen = QGuiApplication::primaryScreen();
      const bool saved = screen && screen->grabWindow(0).save(screenShot, "PNG");
      if (!saved) std::fprintf(stderr, "sonolabel: cannot save %s\n", screenShot.toLocal8Bit().constData());
      std::fflush(stdout);
      ::_exit(saved ? 0 : 1);
    });
  }

  if (lookup) {
    // Answers whatever modal window start-up and the lookup open: message
    // boxes with OK, the e-mail prompt with the address it suggests, the
    // match dialog with the chosen row (after its picture is taken).
    MatchDialog* search = &program.MatchChooser();
    auto* answer = new QTimer(&window);
    answer->setInterval(100);
    QObject::connect(answer, &QTimer::timeout, &window, [search, matchRow, matchShot] {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        box->accept();
      } else if (auto* input = qobject_cast<QInputDialog*>(modal)) {
        input->accept();
      } else if (modal == search && search->isVisible()) {
        if (!matchShot.isEmpty() && !search->grab().save(matchShot, "PNG"))
          std::fprintf(stderr, "sonolabel: cannot save %s\n", matchShot.toLocal8Bit().constData());
        search->matchGrid->selectRow(static_cast<int>(matchRow) - 1);
        search->takeMatchButton->click();
      }
    });
    answer->start();
  }

  window.winId();  // creates the native window so its expose can be watched
  new FirstExpose(window.windowHandle(), [&window, probe, pick, shot, delay, lookup, mainEntered] {
    if (probe) {
      const double sinceMain =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - mainEntered).count();
      std::printf("startup_ms=%.1f main_ms=%.1f vmhwm_kb=%ld\n", MillisecondsSinceProcessStart(), sinceMain,
                  PeakResidentKb());
      std::fflush(stdout);
      ::_exit(0);
    }
    if (pick >= 0 && pick < window.driveBox->count()) {
      window.driveBox->setCurrentIndex(static_cast<int>(pick));
      window.PickDrive(static_cast<int>(pick));
    }
    if (lookup) {
      if (QAction* c1 = window.MenuAction(shell::MenuId::LookUpDisc); c1 && c1->isEnabled()) c1->trigger();
    }
    if (!shot.isEmpty()) {
      QTimer::singleShot(static_cast<int>(delay < 0 ? 0 : delay), &window, [&window, shot] {
        if (!window.grab().save(shot, "PNG"))
          std::fprintf(stderr, "sonolabel: cannot save %s\n", shot.toLocal8Bit().constData());
        std::printf("vmhwm_kb=%ld\n", PeakResidentKb());
        std::fflush(stdout);
        window.close();
      });
    }
  });
}

}  // namespace sl::app
