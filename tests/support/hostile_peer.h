// A misbehaving peer of the local IPC, run as a forked child process: it
// connects to one process's IPC socket the way a buggy or hostile program of
// the same user could, and holds its connections until it is stopped (or at
// most `holdMs`). The child uses raw socket calls only, never the IPC
// library, so the test process's own node is never touched from it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace sl::test {

struct HostileScript {
  enum Kind {
    kIdle,        // `connections` connections that never say hello
    kHelloIdle,   // `connections` connections that say hello, then nothing
    kHalfFrames,  // each says hello, then sends all but the last byte of a
                  // frame of the largest size the IPC takes
    kNeverReads,  // one connection: hello, then send requests to `window`
                  // as fast as it can, never reading a reply
  };
  Kind kind = kIdle;
  int connections = 1;
  std::uint32_t window = 0;  // for kNeverReads
  int holdMs = 20000;
  // Run as user "nobody" (only when this process runs as root).
  bool asNobody = false;
};

class HostilePeer {
 public:
  // Connects to the IPC socket of process `target` in `runtimeDir`'s IPC
  // folder. Returns once the child has opened its connections (or failed
  // to, see Connected()).
  HostilePeer(const std::string& runtimeDir, pid_t target, const HostileScript& script);
  ~HostilePeer();
  HostilePeer(const HostilePeer&) = delete;
  HostilePeer& operator=(const HostilePeer&) = delete;

  // How many connections the child opened (connect succeeded).
  int Connected() const { return connected_; }
  // The errno of the child's first failed connect (0: none failed).
  int FirstError() const { return firstError_; }
  pid_t Pid() const { return pid_; }
  void Stop();

 private:
  pid_t pid_ = -1;
  int connected_ = 0;
  int firstError_ = 0;
};

// The uid and gid of "nobody", or false when there is none.
bool NobodyIds(uid_t& uid, gid_t& gid);

// What this process holds, as the flood tests and the flood benchmark
// watch it: its open descriptors and its resident memory in KiB.
int OpenDescriptors();
long ResidentKiB();

}  // namespace sl::test
