#include "app_fixture.h"

#include "app/mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/application.h"
#include "app/matchdialog.h"

namespace sl::test {

namespace {

// Owns the application object for the whole run and destroys it after the
// last test, while Qt's own globals still exist.
class QtAppEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { app.reset(); }
  std::unique_ptr<app::SonolabelApplication> app;
};

QtAppEnvironment* g_env = nullptr;

}  // namespace

void EnsureQtApp() {
  if (g_env && g_env->app) return;
  if (!g_env) {
    g_env = new QtAppEnvironment;
    ::testing::AddGlobalTestEnvironment(g_env);  // takes ownership
  }
  // Offscreen unless a test run asks for a real display (the clipboard test
  // between two programs runs itself under Xvfb with "xcb").
  const QByteArray platform = qgetenv("SONOLABEL_TEST_QPA");
  qputenv("QT_QPA_PLATFORM", platform.isEmpty() ? QByteArray("offscreen") : platform);
  static int argc = 1;
  static char name[] = "test_app";
  static char* argv[] = {name, nullptr};
  g_env->app = std::make_unique<app::SonolabelApplication>(argc, argv);
  app::InstallInterfaceFont();
}

ModalDriver::ModalDriver() {
  timer_.setInterval(2);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
  timer_.start();
}

ModalDriver::~ModalDriver() { timer_.stop(); }

void ModalDriver::Tick() {
  QWidget* modal = QApplication::activeModalWidget();
  if (!modal || !modal->isVisible()) return;
  if (!answers_.empty()) {
    Answer answer = std::move(answers_.front());
    answers_.pop_front();
    answer(modal);
    return;
  }
  ++unexpected_;
  std::fprintf(stderr, "unexpected modal %s \"%s\"\n", modal->metaObject()->className(),
               qPrintable(modal->windowTitle()));
  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
    dismissed_.push_back(box->text());
    box->accept();
  } else if (auto* search = qobject_cast<app::MatchDialog*>(modal)) {
    search->cancelMatchButton->click();
  } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
    dialog->done(QDialog::Rejected);
  } else {
    modal->hide();
  }
}

namespace {

const char kIni[] =
    "[tunedex]\r\n"
    "email=tester@example.com\r\n"
    "selectserver=0\r\n"
    "servercount=2\r\n"
    "submitemail=submit@example.com\r\n"
    "[svr0]\r\n"
    "host=127.0.0.1\r\n"
    "path=/~cddb/cddb.cgi?\r\n"
    "code=0\r\n"
    "[svr1]\r\n"
    "host=localhost\r\n"
    "path=/~cddb/cddb.cgi?\r\n"
    "code=1\r\n";

const char kDrives[] =
    "[0:0:0]\n"
    "vendor  = SONOLAB\n"
    "product = TEST 3TRK\n"
    "toc     = 0:02:00 4:08:30 7:49:37 10:12:12\n"
    "[0:1:0]\n"
    "vendor  = SONOLAB\n"
    "product = EMPTY TRAY\n";

}  // namespace

void AppTest::SetUp() {
  EnsureQtApp();
  WriteFileBytes(dir.File("sonolabel.INI"), kIni);
  WriteFileBytes(dir.File("drives.ini"), kDrives);
  ::setenv("SONOLABEL_SIM_DRIVES", dir.File("drives.ini").c_str(), 1);
  modal = std::make_unique<ModalDriver>();
}

void AppTest::TearDown() {
  EXPECT_EQ(modal->Unexpected(), 0) << "a dialog nobody expected was dismissed";
  modal.reset();
  ::unsetenv("SONOLABEL_SIM_DRIVES");
}

mainform::Environment AppTest::Env() const {
  mainform::Environment env;
  env.exePath = dir.File("sonolabel");
  env.aspiLayer = std::string(SONOLABEL_BIN_DIR) + "/libwnaspi32-sim.so";
  env.iniPath = dir.File("sonolabel.INI");
  env.windowsDir = dir.Path();
  return env;
}

std::unique_ptr<app::Program> AppTest::MakeProgram() { return std::make_unique<app::Program>(Env()); }

void AppTest::ShowWithTitles(app::MainWindow& w) {
  w.show();
  w.PickDrive(0);
  auto& t = w.Model().Table();
  for (int row = 1; row <= 3; ++row) {
    t.SetCell(1, row, "t" + std::to_string(row));
    t.SetCell(2, row, "a" + std::to_string(row));
  }
  w.SyncFromModel();
}

bool AppTest::HaveSimLayer() {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::string(SONOLABEL_BIN_DIR) + "/libwnaspi32-sim.so", ec);
}

}  // namespace sl::test
