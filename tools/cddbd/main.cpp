// sonolabel-cddbd: command line, signals, port file.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "cddbd.h"

namespace {

using sl::cddbd::Eol;
using sl::cddbd::ServerOptions;

constexpr const char* kUsage = R"(usage: sonolabel-cddbd --root DIR [options]

Answers CDDB requests over HTTP from the xmcd files in DIR/<category>/<discid>.

  --root DIR             entry folders, sites.txt and faults.txt (required)
  --port N               TCP port, 0 = any free port (default 8880)
  --bind ADDR            numeric address to listen on (default 127.0.0.1)
  --submit-dir DIR       where submissions are stored (default DIR/submissions)
  --log FILE             append every request head to FILE, one line each:
                         N<TAB>peer<TAB>complete|partial<TAB>escaped head
                         (\r \n \t \\ and \xHH for other bytes)
  --port-file FILE       write the bound port to FILE once listening
  --max-requests N       exit after answering N requests
  --idle-exit SECONDS    exit after SECONDS without any connection
  --client-timeout SECONDS
                         time allowed to send a request or take a reply (10)
  --eol crlf|lf          line ends of reply bodies (default crlf)
  --level5-charset NAME  what entries stored in UTF-8 become at protocol level 5
                         and below when every character fits (default
                         ISO-8859-1, as the public server; CP932 for an old
                         Japanese server); level 6 gets UTF-8
  --no-sites             answer "sites" with 401 (no site information)
  --faults FILE          fault rules file (default DIR/faults.txt)
  --fault RULE           one more fault rule (may be repeated)
  --help                 this text

Requests: GET /~cddb/cddb.cgi?cmd=...&hello=...&proto=N with the commands
"cddb query", "cddb read", "cddb lscat", "sites" and "ver"; POST
/~cddb/submit.cgi with the headers Category, Discid, User-Email, Submit-Mode
and Content-Length (and "Charset: UTF-8" for a UTF-8 entry). An accepted
submission is stored as received as NNNN-category-discid in the submission
folder and becomes the database's entry; one whose "# Revision:" is not
higher than the stored entry's is refused, and "Submit-Mode: test" is
checked and answered without storing anything.

Fault rules, one per line ("#" starts a comment), read again for every
request: TRIGGER ACTION. TRIGGER is "*" or text looked for, regardless of
case, in the decoded cmd (or in "submit CATEGORY DISCID" for submissions),
"+" standing for a blank. The first matching rule decides; a broken rule
anywhere makes every request answer HTTP 500 naming it.
  reply TEXT      HTTP 200 with TEXT as body (escapes \n \r \t \\ \xHH;
                  \n becomes the reply's line end; a line end is appended)
  raw TEXT        TEXT as the whole response, no HTTP head added
  http CODE [TEXT]  an HTML error page with that HTTP status
  empty           HTTP 200 with an empty body
  close           close the connection without answering
  delay MS [ACTION] answer (normally, or with ACTION) after MS milliseconds
Example: "990c360c reply 403 Database entry is corrupt."

SIGTERM and SIGINT stop the server cleanly (exit status 0).
Exit status: 0 stopped, 1 could not start, 2 usage error.
)";

int g_stopFd = -1;

void OnSignal(int) {
  if (g_stopFd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(g_stopFd, "x", 1);
  }
}

int Usage(const std::string& message) {
  std::cerr << "sonolabel-cddbd: " << message << "\n"
            << "Try 'sonolabel-cddbd --help'.\n";
  return 2;
}

bool ParseSeconds(const std::string& text, double& out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(v >= 0) || v > 86400.0 * 365) return false;
  out = v;
  return true;
}

// Writes the file whole under a temporary name, then renames it, so a
// script polling for it never reads a half-written port.
bool WritePortFile(const std::string& path, std::uint16_t port) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << port << "\n";
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// What the command line sets.
struct CommandLine {
  ServerOptions options;
  std::string portFile;
  bool haveRoot = false;
};

bool IsValuedOption(const std::string& arg) {
  return arg == "--root" || arg == "--submit-dir" || arg == "--log" || arg == "--port-file" ||
         arg == "--bind" || arg == "--faults" || arg == "--fault" || arg == "--port" ||
         arg == "--max-requests" || arg == "--idle-exit" || arg == "--client-timeout" || arg == "--eol" ||
         arg == "--level5-charset";
}

// Takes the value `v` of the option `arg`; what is wrong with it, if
// anything.
std::optional<std::string> SetValuedOption(const std::string& arg, const std::string& v, CommandLine& line) {
  if (arg == "--root") {
    line.options.service.root = v;
    line.haveRoot = true;
  } else if (arg == "--submit-dir") {
    line.options.service.submitDir = v;
  } else if (arg == "--log") {
    line.options.logFile = v;
  } else if (arg == "--port-file") {
    line.portFile = v;
  } else if (arg == "--bind") {
    line.options.bindAddress = v;
  } else if (arg == "--faults") {
    line.options.service.faultsFile = v;
  } else if (arg == "--fault") {
    line.options.service.faultRules.push_back(v);
  } else if (arg == "--port") {
    const auto n = sl::cddbd::ParseDecimal(v, 65535);
    if (!n) return "bad port: " + v;
    line.options.port = static_cast<std::uint16_t>(*n);
  } else if (arg == "--max-requests") {
    const auto n = sl::cddbd::ParseDecimal(v, 1L << 40);
    if (!n) return "bad request count: " + v;
    line.options.maxRequests = *n;
  } else if (arg == "--idle-exit") {
    if (!ParseSeconds(v, line.options.idleExitSeconds)) return "bad idle time: " + v;
  } else if (arg == "--client-timeout") {
    if (!ParseSeconds(v, line.options.clientTimeoutSeconds) || line.options.clientTimeoutSeconds <= 0) {
      return "bad client time-out: " + v;
    }
  } else if (arg == "--level5-charset") {
    if (!sl::cddbd::Utf8To("a", v)) return "unknown character set: " + v;
    line.options.service.level5Charset = v;
  } else if (arg == "--eol") {
    if (v == "crlf") {
      line.options.service.eol = Eol::CrLf;
    } else if (v == "lf") {
      line.options.service.eol = Eol::Lf;
    } else {
      return "--eol takes crlf or lf";
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
    }
    auto take = [&](std::string& out) {
      if (inlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--no-sites") {
      line.options.service.sitesDisabled = true;
    } else if (IsValuedOption(arg)) {
      if (!take(v)) return Usage(arg + " needs a value");
      if (const auto bad = SetValuedOption(arg, v, line)) return Usage(*bad);
    } else {
      return Usage("unknown argument: " + arg);
    }
  }
  if (!line.haveRoot) return Usage("--root is required");

  // Signals only write to the stop pipe; the server notices it in poll().
  sl::cddbd::Server server(line.options);
  std::string error;
  if (!server.Open(error)) {
    std::cerr << "sonolabel-cddbd: " << error << "\n";
    return 1;
  }
  g_stopFd = server.StopDescriptor();
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!line.portFile.empty() && !WritePortFile(line.portFile, server.Port())) {
    std::cerr << "sonolabel-cddbd: cannot write " << line.portFile << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  std::cout << server.Port() << std::endl;
  return server.Run();
}
