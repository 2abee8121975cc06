// karvo-bench: karvo-host and the Safari relay, measured against the floor.
//
// The program plays the browser: it starts each relay with pipes on its standard streams, as a browser
// starts a native messaging host, and talks to it in frames; an echo application in this process stands
// at the other end of the link. The floor is karvo-floor-relay, the least that a relay of the same
// contract has to do; both relays run in the same run, interleaved, and every figure of the host is
// given as a ratio to the floor's, because other work on the machine moves absolute figures a lot.
//
// The Safari relay runs in this process, driven through Relay::forProfile(...)->handle(...).
//
// Exit status: 0 when every measure could be taken (whatever the ratios), 1 on an error (a relay that
// did not answer, answered wrongly or ended badly), 2 when a phase ran out of time, 64 on a bad option.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "echo_app.h"
#include "relay_process.h"
#include "safari_bench.h"
#include "testkit.h"

namespace karvo::bench {
namespace {

using std::chrono::seconds;

struct Settings {
  bool quick = false;
  std::string only;  // one measure, or all when empty
  std::string host;
  std::string floor;
  int starts = 100;
  int warm_up = 500;
  int rtt_blocks = 20;
  int rtt_per_block = 500;
  int burst_runs = 9;
  int burst_messages = 10000;
  int big_runs = 6;
  std::size_t big_bytes = 16u << 20;
  std::vector<std::size_t> shape_bytes = {16u << 20, 64u << 20};
  int shape_rounds = 3;
  int safari_sends = 2000;
  int safari_polls = 40;
};

enum class Shape;  // the large messages' shapes, below

// One relay program and what was measured of it.
struct Subject {
  std::string name;
  std::string program;
  std::string stderr_path;
  std::unique_ptr<RelayProcess> process;  // the long-lived one
  std::vector<double> startup_ms, startup_cpu_ms, startup_faults, rtt_us, burst_per_s, burst_cpu_us;
  struct Large {
    double mb_per_s, cpu_ms, faults;
  };
  std::vector<Large> big;  // one per large message, the first one (cold) first
  std::optional<Memory> idle, after_big, after_small;
  struct Shaped {
    std::size_t size;
    Shape shape;
    int round;
    double mb_per_s, peak_mib;
  };
  std::vector<Shaped> shaped;  // one per message of shapes(), each in a fresh relay
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const double rank = p * static_cast<double>(v.size() - 1);
  const auto lo = static_cast<std::size_t>(std::floor(rank));
  const std::size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (rank - static_cast<double>(lo));
}
double median(const std::vector<double>& v) { return percentile(v, 0.5); }

// The load averages over 1, 5 and 15 minutes.
std::string load_average() {
  double load[3] = {};
  if (::getloadavg(load, 3) != 3) return "?";
  char out[64];
  std::snprintf(out, sizeof out, "%.1f %.1f %.1f", load[0], load[1], load[2]);
  return out;
}

// --- messages -----------------------------------------------------------------------------------

// Bodies in the host's own text form (keys in byte order, compact), so that the host's re-serialisation
// gives back the same bytes and every answer can be compared exactly.
std::string small_message(std::string_view prefix, int n) {
  return "{\"id\":\"" + std::string(prefix) + std::to_string(n) +
         "\",\"payload\":{\"title\":\"Example Domain\",\"url\":\"https://example.com/docs/page?q=1\"},"
         "\"type\":\"tab\"}";
}

// A page-sized message of exactly `size` bytes: the page's text (with quotes, line breaks, tabs and
// non-ASCII text, as pages have) and a list of its links.
std::string large_message(std::size_t size) {
  std::string links = "[";
  for (int i = 0; links.size() < size / 8; ++i) {
    if (i > 0) links += ',';
    links += "{\"href\":\"https://example.com/p/" + std::to_string(i) + "\",\"rank\":" + std::to_string(i) +
             ",\"text\":\"Link " + std::to_string(i) + " \xE2\x80\x94 caf\xC3\xA9\"}";
  }
  links += ']';
  const std::string head = "{\"html\":\"";
  const std::string tail = "\",\"id\":\"big\",\"links\":" + links + ",\"type\":\"page\",\"url\":\"https://example.com/\"}";
  static constexpr std::string_view kParagraph =
      "<p class=\\\"text\\\">Karvo keeps the pages you read, \xE2\x80\x9C"
      "na\xC3\xAFve caf\xC3\xA9s\xE2\x80\x9D and \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E alike.\\t"
      "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor.</p>\\n";
  std::string html;
  const std::size_t room = size - head.size() - tail.size();
  while (html.size() + kParagraph.size() <= room) html += kParagraph;
  html.append(room - html.size(), 'x');
  return head + html + tail;
}

// The shapes of large message that cost a JSON relay the most, each `size` bytes long: many short strings
// and decimal numbers; strings full of escapes; many zeros; one object of 200,000 members with its keys in
// ascending order, and one with them in descending order (which must all be gathered and sorted: the
// host's text is the same bytes in another order, which the echo application's size and byte sum accept);
// and nesting to the limit over and over. Every shape but the escapes is already in the host's text form;
// of that one the host writes \u00e9 and the surrogate pairs as UTF-8.
enum class Shape { strings_and_numbers, escapes, zeros, object_in_order, object_out_of_order, deep };
constexpr Shape kShapes[] = {Shape::strings_and_numbers, Shape::escapes,             Shape::zeros,
                             Shape::object_in_order,     Shape::object_out_of_order, Shape::deep};

const char* shape_name(Shape shape) {
  switch (shape) {
    case Shape::strings_and_numbers: return "short strings and decimal numbers";
    case Shape::escapes: return "strings with escapes";
    case Shape::zeros: return "[0,0,...]";
    case Shape::object_in_order: return "200,000 members in key order";
    case Shape::object_out_of_order: return "200,000 members out of key order";
    case Shape::deep: return "nesting to the limit";
  }
  return "?";
}

// The least ratio to the floor's rate that each shape must reach.
double shape_goal(Shape shape) { return shape == Shape::object_out_of_order ? 0.15 : 0.25; }

// Closes an array of elements, padding it to exactly `size` bytes with one last string element.
std::string finish_array(std::string text, std::size_t size) {
  const std::size_t room = size - text.size() - 1;  // the ']'
  if (text.size() > 1) {
    text += ",\"";
    text.append(room - 3, 'x');
  } else {
    text += '"';
    text.append(room - 2, 'x');
  }
  return text + "\"]";
}

// A message, and the host's text of it (which its acknowledgement sums).
struct ShapedMessage {
  std::string body;
  std::string host_text;
};

// The object of 200,000 members "kNNNNNN":"x...", in ascending or descending key order.
std::string wide_object(std::size_t size, bool ascending) {
  constexpr unsigned kMembers = 200000;
  const std::size_t member = size / kMembers;  // "kNNNNNN":"x..." and a comma
  std::string text = "{";
  text.reserve(size);
  char key[16];
  for (unsigned i = 0; i < kMembers; ++i) {
    std::snprintf(key, sizeof key, "\"k%06u\":\"", ascending ? i : kMembers - 1 - i);
    text += key;
    const std::size_t value = i + 1 < kMembers ? member - 13 : size - text.size() - 2;
    text.append(value, 'x');
    text += i + 1 < kMembers ? "\"," : "\"";
  }
  return text + "}";
}

ShapedMessage shaped_message(Shape shape, std::size_t size) {
  std::string text;
  text.reserve(size);
  switch (shape) {
    case Shape::strings_and_numbers: {
      // ["abcdefghij00001234",1234.5,...]: decimals of up to seven digits, none ending in a zero.
      text = "[";
      char element[64];
      for (unsigned i = 0;; ++i) {
        const int n = std::snprintf(element, sizeof element, "%s\"abcdefghij%08u\",%u.%u", i == 0 ? "" : ",", i,
                                    (i * 7919u) % 100000u, i % 9 + 1);
        if (text.size() + static_cast<std::size_t>(n) + 16 > size) break;
        text.append(element, static_cast<std::size_t>(n));
      }
      text = finish_array(std::move(text), size);
      return {text, text};
    }
    case Shape::escapes: {
      // Each element a line with a line feed, quotes, a tab, a backslash, \u00e9 and a surrogate pair
      // (U+1F600); the host writes the last two as UTF-8.
      static constexpr std::string_view kElement = "\"line\\n\\\"quoted\\\" caf\\u00e9 \\ud83d\\ude00\\t\\\\end\"";
      static constexpr std::string_view kHostElement = "\"line\\n\\\"quoted\\\" caf\xC3\xA9 \xF0\x9F\x98\x80\\t\\\\end\"";
      text = "[";
      std::string host = "[";
      while (text.size() + kElement.size() + 16 < size) {
        if (text.size() > 1) {
          text += ',';
          host += ',';
        }
        text += kElement;
        host += kHostElement;
      }
      const std::size_t body_size = text.size();
      text = finish_array(std::move(text), size);
      host += std::string_view(text).substr(body_size);
      return {text, host};
    }
    case Shape::zeros: {
      // "[0,...,0,10]": the last element makes the length even, as every size here is.
      text = "[";
      while (text.size() + 4 < size) text += "0,";
      text.resize(size - 3);
      text += "10]";
      return {text, text};
    }
    case Shape::object_in_order:
    case Shape::object_out_of_order: {
      text = wide_object(size, shape == Shape::object_in_order);
      return {text, text};
    }
    case Shape::deep: {
      // Within one outer array: objects and arrays in turn, down to the deepest level allowed.
      std::string open, close;
      for (std::size_t level = 2; level <= 127; ++level) {
        if (level % 2 == 0) {
          open += "{\"a\":";
          close += '}';
        } else {
          open += '[';
          close += ']';
        }
      }
      std::reverse(close.begin(), close.end());
      const std::string unit = open + "0" + close;
      text = "[";
      while (text.size() + unit.size() + 8 < size) {
        if (text.size() > 1) text += ',';
        text += unit;
      }
      text = finish_array(std::move(text), size);
      return {text, text};
    }
  }
  return {text, text};
}

// --- the run ------------------------------------------------------------------------------------

class Bench {
 public:
  Bench(Settings settings, const testkit::ScratchHome& home, EchoApp& app)
      : s_(std::move(settings)), home_(home), app_(app), env_(home.env()) {
    for (const auto& [name, program] : {std::pair{"host", s_.host}, std::pair{"floor", s_.floor}}) {
      Subject& subject = subjects_.emplace_back();
      subject.name = name;
      subject.program = program;
      subject.stderr_path = home.path() + "/" + name + ".stderr";
    }
  }

  bool run() {
    const auto wanted = [&](std::string_view measure) { return s_.only.empty() || s_.only == measure; };
    return (!wanted("start-up") || startup()) && open_relays() && (!wanted("round-trip") || round_trips()) &&
           (!wanted("burst") || bursts()) && read_memory(&Subject::idle) && (!wanted("large") || large_messages()) &&
           close_relays() && (!wanted("shapes") || shapes()) &&
           (!wanted("safari") || !safari_relay_built() || safari());
  }
  void print() const;
  const std::string& error() const { return error_; }

 private:
  bool fail(const Subject& subject, const std::string& what) {
    error_ = subject.name + " (" + subject.program + "): " + what;
    const auto log = testkit::read_file(subject.stderr_path);
    if (log && !log->empty()) error_ += "\n  its standard error:\n" + *log;
    return false;
  }

  // Runs `measure` for each subject in turn, `rounds` times, alternating which goes first, so that both
  // see the same moments of the machine's other work.
  bool interleaved(int rounds, const std::function<bool(Subject&, int)>& measure) {
    for (int round = 0; round < rounds; ++round) {
      for (std::size_t k = 0; k < subjects_.size(); ++k) {
        Subject& subject = subjects_[(k + static_cast<std::size_t>(round)) % subjects_.size()];
        if (!measure(subject, round)) return false;
      }
    }
    return true;
  }

  bool exchange(Subject& subject, const std::string& framed, std::string_view body, std::string& reply) {
    if (!subject.process->write(framed)) return fail(subject, "its standard input closed");
    if (!subject.process->next(reply)) return fail(subject, "no reply (its standard output ended)");
    if (reply != body) return fail(subject, "a wrong reply: " + reply.substr(0, 200));
    return true;
  }

  bool startup() {
    watchdog().phase("start-up", seconds(s_.quick ? 60 : 600));
    return interleaved(s_.starts, [&](Subject& subject, int round) {
      const std::string body = small_message("s", round);
      const std::string framed = testkit::frame(body);
      std::string reply;
      const std::int64_t t0 = now_ns();
      subject.process = RelayProcess::start(subject.program, env_, subject.stderr_path);
      if (!subject.process) return fail(subject, "could not be started");
      if (!exchange(subject, framed, body, reply)) return false;
      subject.startup_ms.push_back(static_cast<double>(now_ns() - t0) / 1e6);
      subject.process->close_input();
      const std::optional<int> status = subject.process->wait();
      subject.startup_cpu_ms.push_back(subject.process->cpu_ms());
      subject.startup_faults.push_back(static_cast<double>(subject.process->page_faults()));
      subject.process.reset();
      if (status != 0) return fail(subject, "ended with status " + std::to_string(status.value_or(-1)));
      return true;
    });
  }

  bool open_relays() {
    watchdog().phase("warm-up", seconds(s_.quick ? 60 : 300));
    for (Subject& subject : subjects_) {
      subject.process = RelayProcess::start(subject.program, env_, subject.stderr_path);
      if (!subject.process) return fail(subject, "could not be started");
      std::string reply;
      for (int i = 0; i < s_.warm_up; ++i) {
        const std::string body = small_message("w", i);
        if (!exchange(subject, testkit::frame(body), body, reply)) return false;
      }
    }
    return true;
  }

  bool round_trips() {
    watchdog().phase("round trips", seconds(s_.quick ? 60 : 600));
    return interleaved(s_.rtt_blocks, [&](Subject& subject, int block) {
      std::string reply;
      for (int i = 0; i < s_.rtt_per_block; ++i) {
        const std::string body = small_message("r", block * s_.rtt_per_block + i);
        const std::string framed = testkit::frame(body);
        const std::int64_t t0 = now_ns();
        if (!exchange(subject, framed, body, reply)) return false;
        subject.rtt_us.push_back(static_cast<double>(now_ns() - t0) / 1e3);
      }
      return true;
    });
  }

  bool bursts() {
    watchdog().phase("bursts", seconds(s_.quick ? 60 : 600));
    std::vector<std::string> bodies, frames;
    for (int i = 0; i < s_.burst_messages; ++i) {
      bodies.push_back(small_message("b", i));
      frames.push_back(testkit::frame(bodies.back()));
    }
    return interleaved(s_.burst_runs, [&](Subject& subject, int) {
      RelayProcess& relay = *subject.process;
      bool written = true;
      std::string reply;
      const std::optional<std::int64_t> cpu0 = cpu_ns_of(relay.pid());
      const std::int64_t t0 = now_ns();
      // One write per message, as a browser writes them, from a thread of its own so that neither pipe
      // can fill up while the other waits.
      std::thread writer([&] {
        for (const std::string& f : frames) {
          if (!relay.write(f)) {
            written = false;
            return;
          }
        }
      });
      bool answered = true;
      for (const std::string& body : bodies) {
        if (!relay.next(reply) || reply != body) {
          answered = false;
          break;
        }
      }
      const std::int64_t t1 = now_ns();
      if (!answered) relay.kill();  // its end of the pipe goes, so the writer's next write fails
      writer.join();
      if (!written || !answered) return fail(subject, "the burst was not answered message for message");
      const std::optional<std::int64_t> cpu1 = cpu_ns_of(relay.pid());
      if (!cpu0 || !cpu1) return fail(subject, "its CPU time could not be read");
      subject.burst_per_s.push_back(static_cast<double>(bodies.size()) / (static_cast<double>(t1 - t0) / 1e9));
      subject.burst_cpu_us.push_back(static_cast<double>(*cpu1 - *cpu0) / 1e3 / static_cast<double>(bodies.size()));
      return true;
    });
  }

  bool large_messages() {
    watchdog().phase("large messages", seconds(s_.quick ? 60 : 600));
    const std::string body = large_message(s_.big_bytes);
    const std::string framed = testkit::frame(body);
    const std::string ack = ack_line(body.size(), byte_sum(body));
    if (!interleaved(s_.big_runs, [&](Subject& subject, int) {
          const pid_t pid = subject.process->pid();
          std::string reply;
          const std::optional<std::int64_t> cpu0 = cpu_ns_of(pid);
          const std::optional<long> faults0 = page_faults_of(pid);
          const std::int64_t t0 = now_ns();
          if (!exchange(subject, framed, ack, reply)) return false;
          const double took = static_cast<double>(now_ns() - t0) / 1e9;
          const std::optional<std::int64_t> cpu1 = cpu_ns_of(pid);
          const std::optional<long> faults1 = page_faults_of(pid);
          if (!cpu0 || !cpu1 || !faults0 || !faults1) return fail(subject, "its CPU time could not be read");
          subject.big.push_back({static_cast<double>(body.size()) / 1e6 / took,
                                 static_cast<double>(*cpu1 - *cpu0) / 1e6,
                                 static_cast<double>(*faults1 - *faults0)});
          return true;
        })) {
      return false;
    }
    if (!read_memory(&Subject::after_big)) return false;
    // Then ordinary traffic again: what the relay keeps of the large messages from now on.
    for (Subject& subject : subjects_) {
      std::string reply;
      const std::string small = small_message("a", 0);
      if (!exchange(subject, testkit::frame(small), small, reply)) return false;
    }
    return read_memory(&Subject::after_small);
  }

  // Each shape and size in a relay of its own that has answered one small message before, so that its
  // peak resident memory is that of the one large message; the two relays side by side, shape_rounds times.
  bool shapes() {
    watchdog().phase("message shapes", seconds(s_.quick ? 60 : 1800));
    for (const std::size_t size : s_.shape_bytes) {
      for (const Shape shape : kShapes) {
        const ShapedMessage message = shaped_message(shape, size);
        const std::string framed = testkit::frame(message.body);
        const std::string small = small_message("m", 0);
        if (!interleaved(s_.shape_rounds, [&](Subject& subject, int round) {
              // The floor passes the bytes on as they are; the host writes its own text of them.
              const std::string& sent = &subject == &subjects_[0] ? message.host_text : message.body;
              const std::string ack = ack_line(sent.size(), byte_sum(sent));
              subject.process = RelayProcess::start(subject.program, env_, subject.stderr_path);
              if (!subject.process) return fail(subject, "could not be started");
              std::string reply;
              if (!exchange(subject, testkit::frame(small), small, reply)) return false;
              const std::int64_t t0 = now_ns();
              if (!exchange(subject, framed, ack, reply)) {
                return fail(subject, std::string("no acknowledgement of the message of ") + shape_name(shape));
              }
              const double took = static_cast<double>(now_ns() - t0) / 1e9;
              const std::optional<Memory> memory = memory_of(subject.process->pid());
              if (!memory) return fail(subject, "its memory could not be read");
              subject.shaped.push_back({size, shape, round, static_cast<double>(size) / 1e6 / took,
                                        static_cast<double>(memory->peak_kib) / 1024.0});
              subject.process->close_input();
              const std::optional<int> status = subject.process->wait();
              subject.process.reset();
              if (status != 0) return fail(subject, "ended with status " + std::to_string(status.value_or(-1)));
              return true;
            })) {
          return false;
        }
      }
    }
    return true;
  }

  bool read_memory(std::optional<Memory> Subject::*into) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (Subject& subject : subjects_) {
      const auto memory = memory_of(subject.process->pid());
      if (!memory) return fail(subject, "its memory could not be read");
      subject.*into = memory;
    }
    return true;
  }

  bool close_relays() {
    watchdog().phase("closing", seconds(60));
    for (Subject& subject : subjects_) {
      subject.process->close_input();
      const std::optional<int> status = subject.process->wait();
      subject.process.reset();
      if (status != 0) return fail(subject, "ended with status " + std::to_string(status.value_or(-1)));
    }
    return true;
  }

  bool safari() {
    watchdog().phase("Safari relay", seconds(s_.quick ? 60 : 600));
    std::string why;
    safari_ = measure_safari(app_, home_.path(), s_.safari_sends, s_.safari_polls, why);
    if (!safari_) error_ = "Safari relay: " + why;
    return safari_.has_value();
  }

  Settings s_;
  const testkit::ScratchHome& home_;
  EchoApp& app_;
  std::vector<std::string> env_;
  std::vector<Subject> subjects_;
  std::optional<SafariFigures> safari_;
  std::string error_;
  std::string load_before_ = load_average();
};

// --- the table ----------------------------------------------------------------------------------

struct Row {
  std::string measure;
  double host = NAN, floor = NAN;
  std::string unit;
  int decimals = 1;
  enum class Goal { none, at_most, at_least } goal = Goal::none;
  double bound = 0;
};

std::string number(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

void print_row(const Row& row) {
  if (std::isnan(row.host)) return;  // not measured in this run
  const double ratio = row.host / row.floor;
  std::string goal = "-", result = "-";
  if (row.goal != Row::Goal::none) {
    goal = (row.goal == Row::Goal::at_most ? "<= " : ">= ") + number(row.bound, 2) + "x";
    const bool met = row.goal == Row::Goal::at_most ? ratio <= row.bound : ratio >= row.bound;
    result = met ? "pass" : "MISS";
  }
  std::printf("%-52s %13s %13s %7s  %-9s %s\n", row.measure.c_str(),
              (number(row.host, row.decimals) + " " + row.unit).c_str(),
              (number(row.floor, row.decimals) + " " + row.unit).c_str(),
              std::isfinite(ratio) ? (number(ratio, 2) + "x").c_str() : "-", goal.c_str(), result.c_str());
}

void Bench::print() const {
  const Subject& h = subjects_[0];
  const Subject& f = subjects_[1];
  // NAN for what this run did not measure; such rows are left out.
  const auto mib = [](const std::optional<Memory>& m, bool peak) {
    return m ? static_cast<double>(peak ? m->peak_kib : m->rss_kib) / 1024.0 : NAN;
  };
  std::printf("karvo-bench: %s against %s\n", h.program.c_str(), f.program.c_str());
  std::printf("  floor: karvo-floor-relay keeps the host's contract (endpoint file, loopback link, authentication,\n"
              "  frames to lines and back, one write per message) with no JSON parsing and no checks.\n");
  std::printf("  machine: %u CPUs, load average (1, 5, 15 min) %s before, %s after. Other work on the\n"
              "  machine moves absolute figures, so each measure interleaves the two relays; ratios are host/floor.\n"
              "  CPU times and page faults are the relay's own and move less with that work than elapsed times.\n",
              std::thread::hardware_concurrency(), load_before_.c_str(), load_average().c_str());
  std::printf("  large message: one %.1f MiB browser message; the echo application answers lines over 1 MiB with a\n"
              "  short acknowledgement (size and byte sum), since the host drops application lines over 1 MiB;\n"
              "  MB/s runs from the first byte sent to the acknowledgement. The first one after small traffic\n"
              "  meets cold memory (every new page faults in); the next ones find what it left.%s\n\n",
              static_cast<double>(s_.big_bytes) / (1 << 20),
              s_.quick ? "\n  QUICK RUN: too few samples for the figures to mean anything." : "");
  std::printf("%-52s %13s %13s %7s  %-9s %s\n", "measure", "host", "floor", "ratio", "goal", "result");
  print_row({"start-up, spawn to first reply (median of " + std::to_string(h.startup_ms.size()) + ")",
             median(h.startup_ms), median(f.startup_ms), "ms", 2, Row::Goal::at_most, 1.3});
  print_row({"  CPU time of a relay that starts and answers once", median(h.startup_cpu_ms), median(f.startup_cpu_ms),
             "ms", 2});
  print_row({"  page faults of a relay that starts and answers once", median(h.startup_faults),
             median(f.startup_faults), "", 0});
  print_row({"round trip, small message, median (" + std::to_string(h.rtt_us.size()) + ")", median(h.rtt_us),
             median(f.rtt_us), "us", 1, Row::Goal::at_most, 1.15});
  print_row({"round trip, small message, 99th percentile", percentile(h.rtt_us, 0.99), percentile(f.rtt_us, 0.99),
             "us", 1});
  print_row({"burst of " + std::to_string(s_.burst_messages) + ", messages/s (median of " +
                 std::to_string(h.burst_per_s.size()) + ")",
             median(h.burst_per_s), median(f.burst_per_s), "/s", 0, Row::Goal::at_least, 0.8});
  print_row({"  CPU time of the relay per message", median(h.burst_cpu_us), median(f.burst_cpu_us), "us", 2});
  // The first large message meets cold buffers; the later ones can reuse what the first one left.
  const auto large = [](const Subject& s, std::size_t from, std::size_t to, double Subject::Large::*field) {
    std::vector<double> v;
    for (std::size_t i = from; i < std::min(to, s.big.size()); ++i) v.push_back(s.big[i].*field);
    return median(v);
  };
  using L = Subject::Large;
  const std::size_t n = std::max<std::size_t>(h.big.size(), 1);
  print_row({"large message, the first (cold buffers)", large(h, 0, 1, &L::mb_per_s), large(f, 0, 1, &L::mb_per_s),
             "MB/s", 1});
  print_row({"  CPU time of the relay", large(h, 0, 1, &L::cpu_ms), large(f, 0, 1, &L::cpu_ms), "ms", 1});
  print_row({"  page faults of the relay", large(h, 0, 1, &L::faults), large(f, 0, 1, &L::faults), "", 0});
  print_row({"large message, the next " + std::to_string(n - 1) + " (median)", large(h, 1, n, &L::mb_per_s),
             large(f, 1, n, &L::mb_per_s), "MB/s", 1, Row::Goal::at_least, 0.25});
  print_row({"  CPU time of the relay", large(h, 1, n, &L::cpu_ms), large(f, 1, n, &L::cpu_ms), "ms", 1});
  print_row({"  page faults of the relay", large(h, 1, n, &L::faults), large(f, 1, n, &L::faults), "", 0});
  print_row({"resident memory, idle after warm-up", mib(h.idle, false), mib(f.idle, false), "MiB", 2,
             Row::Goal::at_most, 2.0});
  print_row({"resident memory, peak", mib(h.after_big ? h.after_big : h.idle, true),
             mib(f.after_big ? f.after_big : f.idle, true), "MiB", 2});
  print_row({"resident memory, idle right after the large messages", mib(h.after_big, false),
             mib(f.after_big, false), "MiB", 2});
  print_row({"resident memory, idle once a small message followed", mib(h.after_small, false),
             mib(f.after_small, false), "MiB", 2});

  if (!h.shaped.empty()) {
    std::printf("\nMessages of each shape and size, each in a fresh relay that answered one small message before,\n"
                "%d round(s) with the two relays side by side. MB/s: medians; ratio: the median of the rounds'\n"
                "host/floor ratios. Peak: the host's largest peak resident memory of the rounds, and its multiple\n"
                "of the message (the goal is at most three times the message).\n",
                s_.shape_rounds);
    std::printf("%-44s %9s %9s %6s  %-8s %-6s %9s %8s  %-8s %s\n", "message", "host MB/s", "floor", "ratio", "goal",
                "result", "host peak", "/message", "goal", "result");
    for (const std::size_t size : s_.shape_bytes) {
      for (const Shape shape : kShapes) {
        std::vector<double> host_rate, floor_rate, ratios;
        double peak = 0;
        for (const Subject::Shaped& x : h.shaped) {
          if (x.size != size || x.shape != shape) continue;
          host_rate.push_back(x.mb_per_s);
          peak = std::max(peak, x.peak_mib);
          for (const Subject::Shaped& y : f.shaped) {
            if (y.size == size && y.shape == shape && y.round == x.round) ratios.push_back(x.mb_per_s / y.mb_per_s);
          }
        }
        for (const Subject::Shaped& y : f.shaped) {
          if (y.size == size && y.shape == shape) floor_rate.push_back(y.mb_per_s);
        }
        if (host_rate.empty() || ratios.empty()) continue;
        const double message_mib = static_cast<double>(size) / (1 << 20);
        const double ratio = median(ratios);
        const double times = peak / message_mib;
        std::printf("%-44s %9s %9s %5sx  >= %.2fx %-6s %5s MiB %7sx  <= 3.00x %s\n",
                    (number(message_mib, 0) + " MiB, " + shape_name(shape)).c_str(),
                    number(median(host_rate), 1).c_str(), number(median(floor_rate), 1).c_str(),
                    number(ratio, 2).c_str(), shape_goal(shape), ratio >= shape_goal(shape) ? "pass" : "MISS",
                    number(peak, 1).c_str(), number(times, 2).c_str(), times <= 3.0 ? "pass" : "MISS");
      }
    }
  }

  if (!safari_) return;
  const SafariFigures& sf = *safari_;
  std::printf("\nSafari relay, in this process against the same echo application\n");
  std::printf("%-62s %12s %12s  %-9s %s\n", "measure", "median", "99th pct", "goal", "result");
  const double answer = median(sf.answer_to_reply_us);
  std::printf("%-62s %9s us %9s us  %-9s %s\n",
              ("\"send\" with \"id\", answer written -> reply (" + std::to_string(sf.answer_to_reply_us.size()) + ")")
                  .c_str(),
              number(answer, 1).c_str(), number(percentile(sf.answer_to_reply_us, 0.99), 1).c_str(), "<= 1 ms",
              answer <= 1000.0 ? "pass" : "MISS");
  std::printf("%-62s %9s us %9s us  %-9s %s\n", "\"send\" with \"id\", handle() -> reply",
              number(median(sf.send_round_trip_us), 1).c_str(),
              number(percentile(sf.send_round_trip_us, 0.99), 1).c_str(), "-", "-");
  std::printf("%-62s %9s ms %9s ms  %-9s %s\n",
              ("empty \"poll\", handle() -> reply (" + std::to_string(sf.poll_wall_ms.size()) + "; 50 ms window)").c_str(),
              number(median(sf.poll_wall_ms), 2).c_str(), number(percentile(sf.poll_wall_ms, 0.99), 2).c_str(), "-",
              "-");
  std::printf("%-62s %9s us %9s us  %-9s %s\n", "empty \"poll\", CPU time of the relay's queue",
              number(median(sf.poll_cpu_us), 1).c_str(), number(percentile(sf.poll_cpu_us, 0.99), 1).c_str(), "-",
              "-");
}

// --- options ------------------------------------------------------------------------------------

constexpr char kUsage[] =
    "usage: karvo-bench [--quick] [--only MEASURE] [--host PROGRAM] [--floor PROGRAM] [--large-mib N]\n"
    "       karvo-bench --help\n"
    "  Measures karvo-host against karvo-floor-relay and the Safari relay, and prints a table.\n"
    "  --quick        a smoke run of a few seconds: few samples, large messages of 2 and 4 MiB\n"
    "  --host P       the host to measure (default: karvo-host beside this program)\n"
    "  --floor P      the floor relay (default: karvo-floor-relay beside this program)\n"
    "  --only M       only one measure: start-up, round-trip, burst, large, shapes or safari (resident\n"
    "                 memory is always read)\n"
    "  --large-mib N  the large message's size in MiB (default 16)\n";

std::optional<Settings> parse_options(int argc, char** argv) {
  Settings s;
  const std::string here = testkit::parent_dir(testkit::self_executable().value_or(argv[0]));
  s.host = here + "/karvo-host";
  s.floor = here + "/karvo-floor-relay";
  std::optional<std::size_t> large_mib;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--quick") {
      s.quick = true;
    } else if (arg == "--host" && has_value) {
      s.host = argv[++i];
    } else if (arg == "--floor" && has_value) {
      s.floor = argv[++i];
    } else if (arg == "--only" && has_value) {
      s.only = argv[++i];
      if (s.only != "start-up" && s.only != "round-trip" && s.only != "burst" && s.only != "large" &&
          s.only != "shapes" && s.only != "safari") {
        return std::nullopt;
      }
    } else if (arg == "--large-mib" && has_value) {
      const long mib = std::strtol(argv[++i], nullptr, 10);
      if (mib < 2 || mib > 63) return std::nullopt;
      large_mib = static_cast<std::size_t>(mib);
    } else {
      return std::nullopt;
    }
  }
  if (s.quick) {
    s.starts = 4;
    s.warm_up = 20;
    s.rtt_blocks = 2;
    s.rtt_per_block = 25;
    s.burst_runs = 1;
    s.burst_messages = 200;
    s.big_runs = 2;
    s.big_bytes = 2u << 20;
    s.shape_bytes = {4u << 20};  // room for 200,000 members of an object
    s.shape_rounds = 1;
    s.safari_sends = 20;
    s.safari_polls = 3;
  }
  if (large_mib) s.big_bytes = *large_mib << 20;
  return s;
}

}  // namespace
}  // namespace karvo::bench

int main(int argc, char** argv) {
  using namespace karvo::bench;
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::optional<Settings> settings = parse_options(argc, argv);
  if (!settings) {
    std::fputs(kUsage, stderr);
    return 64;
  }
  std::signal(SIGPIPE, SIG_IGN);  // a relay that ended shows up as a failed write
  karvo::testkit::ScratchHome home;
  const std::unique_ptr<EchoApp> app = EchoApp::start(home.ipc_path());
  if (!app) {
    std::fputs("karvo-bench: error: the echo application could not start\n", stderr);
    return 1;
  }
  Bench bench(*settings, home, *app);
  if (!bench.run()) {
    std::fprintf(stderr, "karvo-bench: error: %s\n", bench.error().c_str());
    return 1;
  }
  bench.print();
  return 0;
}
