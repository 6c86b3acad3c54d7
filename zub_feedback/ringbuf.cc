#include <stdexcept>
#include <string>
#include <utility>

#include "zub_feedback.h"

namespace {

// The name or message as a string; a null pointer is a caller's error that
// must not reach std::string.
std::string checked_string(const char* str, const char* what) {
  if (str == nullptr) throw std::logic_error(what);
  return std::string(str);
}

}  // namespace

K_ringbuf::K_ringbuf(const char* str, int size, EqFct* ep)
    : K_ustr(checked_string(str, "K_ringbuf: null property name"), ep) {
  for (int i = 0; i < size; ++i) ringbuf.set(0, 0.0f, 0.0f, 0, "", i);
}

K_ringbuf::~K_ringbuf() = default;

void K_ringbuf::store(const char* str) {
  // Everything that can fail comes before the shift, so a refused message
  // leaves every entry as it was.
  std::string message = checked_string(str, "K_ringbuf::store: null message");
  const time_t tm = KARSTtime();

  // Each entry moves one place towards the end, highest index first; the
  // oldest is overwritten. Moving rather than copying records means the
  // shift allocates nothing, however long the messages are.
  const int n = ringbuf.length();
  for (int i = n - 1; i >= 1; --i) {
    *ringbuf.get_ustr(i) = std::move(*ringbuf.get_ustr(i - 1));
  }

  if (USTR* newest = ringbuf.get_ustr(0)) {
    newest->i1_data = 0;
    newest->f1_data = 0.0f;
    newest->f2_data = 0.0f;
    newest->tm = tm;
    newest->str_data = std::move(message);
  } else {
    // A buffer made with no entries gains its single one here.
    ringbuf.set(0, 0.0f, 0.0f, tm, message, 0);
  }
}

void K_ringbuf::get(EqAdr*, EqData* sd, EqData* dd, EqFct*) {
  if (dd == nullptr) return;
  if (sd == nullptr || sd->type() == karst::kTypeNone) {
    dd->copy_from(&ringbuf);
    return;
  }
  // Read before dd is touched: the framework may pass one container as both.
  const int i = sd->get_int();
  if (i < 0) {
    dd->copy_from(&ringbuf);
    return;
  }
  // dd holds the one entry alone, or nothing for an index beyond the buffer.
  dd->clear();
  if (const USTR* entry = ringbuf.get_ustr(i)) dd->set(*entry, 0);
}

void K_ringbuf::set(EqAdr*, EqData*, EqData*, EqFct*) {}

void K_ringbuf::read() {}

void K_ringbuf::write(std::ostream&) {}

void K_ringbuf::config(Config*) {}
