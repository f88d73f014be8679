// A second CDDB server for tests, written apart from sonolabel-cddbd: it
// answers as the public server's documentation describes. Entries are kept
// in UTF-8; protocol level 6 gets them in UTF-8, lower levels get ISO-8859-1
// when every character fits and the UTF-8 bytes otherwise; a query's match
// line carries the whole disc title (all DTITLE lines). Submissions are
// answered "200" (or refused when their revision is not above the entry's)
// and recorded with their raw head and body; "Submit-Mode: test" stores
// nothing. Every request is recorded as received.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sl::test {

class GnudbLikeServer {
 public:
  struct Entry {
    std::string category;
    std::string text;  // the xmcd lines in UTF-8, LF-separated
  };
  // Entries by disc ID (8 lower-case hex digits).
  explicit GnudbLikeServer(std::map<std::string, Entry> entries);
  ~GnudbLikeServer();
  GnudbLikeServer(const GnudbLikeServer&) = delete;
  GnudbLikeServer& operator=(const GnudbLikeServer&) = delete;

  int Port() const { return port_; }
  std::string Url() const;                    // ".../~cddb/cddb.cgi?"
  std::vector<std::string> Requests() const;  // raw, in order
  // Accepted submissions (not test ones): raw head + body.
  std::vector<std::string> Stored() const;

 private:
  void Run();
  std::string Answer(const std::string& request);
  std::string Cgi(const std::string& query);
  std::string Submit(const std::string& head, const std::string& body);

  std::map<std::string, Entry> entries_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_, stored_;
  std::thread thread_;
};

}  // namespace sl::test
