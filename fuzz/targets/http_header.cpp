// Reply headers as a server (or anything listening on its port) sends them:
// the status line and header lines, cut into lines as the socket layer's
// ReadLn cuts them, fed to the client's own header parser.
#include <cctype>
#include <cstdint>
#include <string>

#include "net/errors.h"
#include "net/http_client.h"
#include "net/socket_client.h"
#include "support.h"

using namespace sl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  net::ReplyHeaders header;
  std::size_t pos = 0;
  bool done = false;
  bool bounded = false;
  while (!done) {
    // ReadLn: a line with its LF; what is left when the peer closes (maybe
    // nothing); a line longer than the buffer raises.
    std::size_t end = bytes.find('\n', pos);
    end = end == std::string::npos ? bytes.size() : end + 1;
    if (end - pos > net::SocketClient::kBufferSize) break;
    const std::string line = bytes.substr(pos, end - pos);
    pos = end;
    try {
      done = header.AddLine(line);
    } catch (const net::SocketFailure&) {
      bounded = true;
      break;
    }
    if (line.empty() && header.Lines > 1) FUZZ_CHECK(done);
  }
  if (bounded) {
    FUZZ_CHECK(header.Lines > net::ReplyHeaders::kMaxLines || header.Bytes > net::ReplyHeaders::kMaxBytes);
  } else {
    FUZZ_CHECK(header.Lines <= net::ReplyHeaders::kMaxLines && header.Bytes <= net::ReplyHeaders::kMaxBytes);
  }
  FUZZ_CHECK(header.Bytes <= pos);
  FUZZ_CHECK(header.ReplyNumber >= 0 && header.ReplyNumber <= 65535);
  FUZZ_CHECK(header.ContentLength >= 0);
  FUZZ_CHECK(header.HasContentLength || header.ContentLength == 0);
  FUZZ_CHECK(header.SetCookie.size() <= net::ReplyHeaders::kMaxCookieLength);
  FUZZ_CHECK(header.Location.size() < header.Bytes || header.Location.empty());
  // After a chunked header, the body's lines as size lines: a size is
  // taken only from hexadecimal digits at the line's start.
  if (done && header.Chunked) {
    for (int n = 0; n < 64 && pos < bytes.size(); ++n) {
      std::size_t end = bytes.find('\n', pos);
      end = end == std::string::npos ? bytes.size() : end + 1;
      const std::string line = bytes.substr(pos, end - pos);
      pos = end;
      const auto size = net::ChunkSize(line);
      if (!size) continue;
      FUZZ_CHECK(*size >= 0 && *size < (1LL << 60));
      FUZZ_CHECK(std::isxdigit(static_cast<unsigned char>(line[0])));
    }
  }
  // Values come without their line ends.
  for (const std::string* v : {&header.Location, &header.SetCookie})
    FUZZ_CHECK(v->empty() || (v->back() != '\n' && v->find('\n') == std::string::npos));
  return 0;
}
