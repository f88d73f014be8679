#include "app/clipboardreader.h"

#include "text/utf8.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMetaObject>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#ifdef SONOLABEL_HAVE_XCB
#include <poll.h>
#include <xcb/xcb.h>
#endif

namespace sl::app {

namespace {

using Clock = std::chrono::steady_clock;

ClipboardRead FromQt(QClipboard::Mode mode) {
  ClipboardRead out;
  out.text = QGuiApplication::clipboard()->text(mode);
  out.result = out.text.isEmpty() ? ClipboardRead::Result::NoText : ClipboardRead::Result::Text;
  return out;
}

#ifdef SONOLABEL_HAVE_XCB

// What the helper thread found.
struct XRead {
  enum class Result { Text, NoText, NoAnswer, NoConnection } result = Result::NoText;
  std::string bytes;
  bool utf8 = true;
};

xcb_atom_t InternAtom(xcb_connection_t* c, const char* name) {
  const auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr);
  const xcb_atom_t atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  std::free(reply);
  return atom;
}

// The next event `want` accepts; null when the deadline passed, the read
// was cancelled or the connection broke. Other events are dropped.
template <typename Want>
xcb_generic_event_t* WaitForEvent(xcb_connection_t* c, Clock::time_point deadline, const Want& want,
                                  const std::atomic<bool>& cancel) {
  const int fd = xcb_get_file_descriptor(c);
  for (;;) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      if (want(event)) return event;
      std::free(event);
    }
    if (xcb_connection_has_error(c) || cancel.load()) return nullptr;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return nullptr;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)) + 1);
  }
}

// Appends the property's value to `out` (up to `maxBytes` in all) and
// deletes the property. Returns the value's length in bytes, or -1 when the
// connection broke.
long long TakeProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, std::string& out,
                       xcb_atom_t& type, std::size_t maxBytes) {
  constexpr std::uint32_t kChunkWords = 1u << 16;  // 256 KiB per request
  std::uint32_t offset = 0;
  long long total = 0;
  // A property no longer than the limit takes a bounded number of requests.
  for (int round = 0; round < 1 + static_cast<int>(maxBytes / (kChunkWords * 4)); ++round) {
    const auto cookie =
        xcb_get_property(c, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, offset, kChunkWords);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(c, cookie, nullptr);
    if (!reply) return -1;
    type = reply->type;
    const int length = xcb_get_property_value_length(reply);
    const char* value = static_cast<const char*>(xcb_get_property_value(reply));
    if (length > 0 && out.size() < maxBytes)
      out.append(value, std::min<std::size_t>(static_cast<std::size_t>(length), maxBytes - out.size()));
    total += length;
    const std::uint32_t after = reply->bytes_after;
    std::free(reply);
    offset += static_cast<std::uint32_t>(length) / 4;
    if (after == 0 || length <= 0 || out.size() >= maxBytes) break;
  }
  xcb_delete_property(c, window, property);
  xcb_flush(c);
  return total;
}

// A long text comes in pieces: each new value of the property is the next
// piece, an empty one ends it. Deleting the property (TakeProperty does)
// asks for the next. Reads them into `bytes` until the end or the bound;
// false when the owner stops answering.
bool TakeInPieces(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                  const ClipboardLimits& limits, const std::atomic<bool>& cancel, std::string& bytes) {
  bytes.clear();
  xcb_atom_t type = XCB_NONE;
  for (;;) {
    xcb_generic_event_t* piece = WaitForEvent(
        c, Clock::now() + limits.answerBound,
        [&](xcb_generic_event_t* e) {
          if ((e->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
          const auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
          return p->window == window && p->atom == property && p->state == XCB_PROPERTY_NEW_VALUE;
        },
        cancel);
    if (!piece) return false;
    std::free(piece);
    const long long length = TakeProperty(c, window, property, bytes, type, limits.maxBytes);
    if (length < 0) return false;
    // Done, or enough: the owner gives up on its own once nobody asks.
    if (length == 0 || bytes.size() >= limits.maxBytes) return true;
  }
}

// Asks the owner of `selection` for its text over a connection of its own.
XRead ReadSelection(const std::string& display, bool primary, const ClipboardLimits& limits,
                    const std::atomic<bool>& cancel) {
  XRead out;
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  if (!c || xcb_connection_has_error(c)) {
    if (c) xcb_disconnect(c);
    out.result = XRead::Result::NoConnection;
    return out;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  const xcb_screen_t* screen = screens.data;
  if (!screen) {
    xcb_disconnect(c);
    out.result = XRead::Result::NoConnection;
    return out;
  }
  const xcb_atom_t selection =
      primary ? static_cast<xcb_atom_t>(XCB_ATOM_PRIMARY) : InternAtom(c, "CLIPBOARD");
  const xcb_atom_t utf8 = InternAtom(c, "UTF8_STRING");
  const xcb_atom_t incr = InternAtom(c, "INCR");
  const xcb_atom_t property = InternAtom(c, "SONOLABEL_CLIPBOARD");

  xcb_get_selection_owner_reply_t* owner =
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
  const bool owned = owner && owner->owner != XCB_NONE;
  std::free(owner);
  if (!owned) {
    xcb_disconnect(c);
    return out;  // nobody holds the clipboard: no text
  }

  const xcb_window_t window = xcb_generate_id(c);
  const std::uint32_t events[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, events);

  auto bound = [&] { return Clock::now() + limits.answerBound; };
  out.result = XRead::Result::NoText;
  for (const xcb_atom_t target : {utf8, static_cast<xcb_atom_t>(XCB_ATOM_STRING)}) {
    xcb_convert_selection(c, window, selection, target, property, XCB_CURRENT_TIME);
    xcb_flush(c);
    xcb_generic_event_t* event = WaitForEvent(
        c, bound(),
        [&](xcb_generic_event_t* e) {
          return (e->response_type & 0x7f) == XCB_SELECTION_NOTIFY &&
                 reinterpret_cast<xcb_selection_notify_event_t*>(e)->requestor == window;
        },
        cancel);
    if (!event) {
      out.result = XRead::Result::NoAnswer;
      break;
    }
    const xcb_atom_t given = reinterpret_cast<xcb_selection_notify_event_t*>(event)->property;
    std::free(event);
    if (given == XCB_NONE) continue;  // not in this form; try the next
    xcb_atom_t type = XCB_NONE;
    if (TakeProperty(c, window, property, out.bytes, type, limits.maxBytes) < 0) {
      out.result = XRead::Result::NoAnswer;
      break;
    }
    out.utf8 = target == utf8;
    out.result = XRead::Result::Text;
    if (type != incr) break;
    if (!TakeInPieces(c, window, property, limits, cancel, out.bytes)) out.result = XRead::Result::NoAnswer;
    break;
  }
  xcb_destroy_window(c, window);
  xcb_flush(c);
  xcb_disconnect(c);
  return out;
}

QString Decode(const XRead& read, std::size_t maxBytes) {
  if (!read.utf8) return QString::fromLatin1(read.bytes.data(), static_cast<qsizetype>(read.bytes.size()));
  std::size_t n = read.bytes.size();
  // A text cut at the limit does not end in half a character.
  // Its last character is dropped whenever that is not ASCII: whether
  // it arrived whole is not looked at.
  if (n >= maxBytes && n > 0) {
    const std::size_t last = sl::text::CutPointAtOrBefore(read.bytes, n - 1);
    if (static_cast<unsigned char>(read.bytes[last]) >= 0xC0) n = last;
  }
  return QString::fromUtf8(read.bytes.data(), static_cast<qsizetype>(n));
}

#endif  // SONOLABEL_HAVE_XCB

}  // namespace

ClipboardRead ReadClipboardText(QClipboard::Mode mode, const ClipboardLimits& limits) {
  QClipboard* clipboard = QGuiApplication::clipboard();
#ifdef SONOLABEL_HAVE_XCB
  const bool ours = mode == QClipboard::Selection ? clipboard->ownsSelection() : clipboard->ownsClipboard();
  if (QGuiApplication::platformName() != QLatin1String("xcb") || ours || mode == QClipboard::FindBuffer)
    return FromQt(mode);
  const std::string display = qEnvironmentVariable("DISPLAY").toStdString();
  std::atomic<bool> cancel{false};
  XRead read;
  QEventLoop loop;
  std::thread worker([&] {
    read = ReadSelection(display, mode == QClipboard::Selection, limits, cancel);
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  // The window keeps painting (and this program can answer for its own
  // clipboard) while the owner is asked; the user's input waits.
  QGuiApplication::setOverrideCursor(Qt::BusyCursor);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  QGuiApplication::restoreOverrideCursor();
  cancel = true;
  worker.join();
  ClipboardRead out;
  switch (read.result) {
    case XRead::Result::NoConnection: return FromQt(mode);
    case XRead::Result::NoAnswer: out.result = ClipboardRead::Result::NoAnswer; return out;
    case XRead::Result::NoText: return out;
    case XRead::Result::Text:
      out.text = Decode(read, limits.maxBytes);
      out.result = out.text.isEmpty() ? ClipboardRead::Result::NoText : ClipboardRead::Result::Text;
      return out;
  }
  return out;
#else
  (void)clipboard;
  (void)limits;
  return FromQt(mode);
#endif
}

}  // namespace sl::app
