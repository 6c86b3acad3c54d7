// What the library says during one call from Python: the messages it logs
// through the framework and the text it writes to std::cout.
//
// A call runs without the GIL, so nothing of Python may be called while the
// library talks. Both channels are process-wide, and two Python threads may
// be inside the library at once; so the log sink and the std::cout buffer,
// installed once, hand each message to the call_messages of the thread that
// is speaking, and the module passes them on to Python's logging once the
// call is over and the GIL is held again.
#ifndef ZUB_PYTHON_MESSAGES_H
#define ZUB_PYTHON_MESSAGES_H

#include <cstdio>
#include <iostream>
#include <optional>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "karst.h"
#include "zub_feedback.h"

namespace zub_python {

using zub_feedback::kLevelError;
using zub_feedback::kLevelInfo;

struct message {
  std::string where;  // the reporting operation
  std::string text;   // as the library formatted it
  unsigned level;
};

class call_messages;

namespace detail {
// The collector of the call running on this thread, if any.
inline thread_local call_messages* current = nullptr;
}  // namespace detail

// Collects, from construction to finish(), what the library says on the
// constructing thread. A line written to std::cout becomes an information
// message of `operation`.
class call_messages {
 public:
  explicit call_messages(std::string operation)
      : operation_(std::move(operation)), previous_(detail::current) {
    detail::current = this;
  }
  ~call_messages() { finish(); }
  call_messages(const call_messages&) = delete;
  call_messages& operator=(const call_messages&) = delete;

  // Stops collecting; a last line of output without its newline is kept.
  void finish() {
    if (!collecting_) return;
    collecting_ = false;
    detail::current = previous_;
    if (!pending_output_.empty()) {
      messages_.push_back({operation_, std::move(pending_output_), kLevelInfo});
      pending_output_.clear();
    }
  }

  const std::vector<message>& messages() const { return messages_; }

  // The first error message, without its line end.
  std::optional<std::string> first_error() const {
    for (const message& m : messages_) {
      if (m.level & kLevelError) return without_line_end(m.text);
    }
    return std::nullopt;
  }

  static std::string without_line_end(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
      text.pop_back();
    }
    return text;
  }

  void add(const std::string& where, const std::string& text, unsigned level) {
    messages_.push_back({where, text, level});
  }

  void add_output(const char* s, std::streamsize n) {
    for (std::streamsize k = 0; k < n; ++k) {
      if (s[k] == '\n') {
        messages_.push_back(
            {operation_, std::move(pending_output_), kLevelInfo});
        pending_output_.clear();
      } else {
        pending_output_ += s[k];
      }
    }
  }

 private:
  std::string operation_;
  call_messages* previous_;
  bool collecting_ = true;
  std::string pending_output_;
  std::vector<message> messages_;
};

namespace detail {

// std::cout's buffer: output of a thread with a collector goes to it, all
// other output to the buffer std::cout had before. No put area, so every
// write reaches xsputn or overflow and the buffer holds no state that two
// threads could share.
class output_router : public std::streambuf {
 public:
  explicit output_router(std::streambuf* fallback) : fallback_(fallback) {}
  std::streambuf* fallback() const { return fallback_; }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (call_messages* c = current) {
      c->add_output(s, n);
      return n;
    }
    return fallback_->sputn(s, n);
  }
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) {
      return traits_type::not_eof(ch);
    }
    const char c = traits_type::to_char_type(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
  }
  int sync() override { return current ? 0 : fallback_->pubsync(); }

 private:
  std::streambuf* fallback_;
};

// The log sink and std::cout's buffer for the life of the process; put
// back as they were when the module's statics are destroyed at exit, before
// the standard streams are flushed for the last time.
class routing {
 public:
  routing() : router_(std::cout.rdbuf()) {
    previous_sink_ = karst::set_log_sink(
        [this](const std::string& where, const std::string& text,
               unsigned level) { deliver(where, text, level); });
    std::cout.rdbuf(&router_);
  }
  ~routing() {
    std::cout.rdbuf(router_.fallback());
    karst::set_log_sink(std::move(previous_sink_));
  }
  routing(const routing&) = delete;
  routing& operator=(const routing&) = delete;

 private:
  // A message from a library call that the module did not make (another
  // user of the library in the process) goes where it went before.
  void deliver(const std::string& where, const std::string& text,
               unsigned level) {
    if (call_messages* c = current) {
      c->add(where, text, level);
    } else if (previous_sink_) {
      previous_sink_(where, text, level);
    } else {
      std::fprintf(stderr, "%s: %s\n", where.c_str(),
                   call_messages::without_line_end(text).c_str());
    }
  }

  output_router router_;
  karst::LogSink previous_sink_;
};

}  // namespace detail

// Installs the routing, once; call it while the GIL is held, before the
// first library call.
inline void install_routing() { static detail::routing routing; }

}  // namespace zub_python

#endif  // ZUB_PYTHON_MESSAGES_H
