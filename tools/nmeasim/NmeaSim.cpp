#include "tools/nmeasim/NmeaSim.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>

#include "PalmoVersion.h"
#include "toolkit/Calendar.h"
#include "tools/nmeasim/Feed.h"
#include "tools/nmeasim/PtyLine.h"

namespace nmeasim {

namespace {

using TClock = std::chrono::steady_clock;

// How long the line stays open after the last chunk, so that the far end
// reads it before the hang-up (which drops what is still unread).
constexpr auto kLinger = std::chrono::milliseconds(1000);
// How often a line without a reader is looked at again.
constexpr int kReaderPollMs = 20;

template <typename T>
bool ParseNumber(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, value);
    return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

enum class TWake { Due, Stop, HangUp };

// Waits until the deadline or a stop signal; with a line, also serves what
// its reader sends and notices the reader's hang-up at once.
TWake WaitUntil(TClock::time_point deadline, TPtyLine* line) {
    for (;;) {
        if (StopRequested()) {
            return TWake::Stop;
        }
        // To the microsecond, not the millisecond: in real time the moment a
        // line leaves is what the tests measure against.
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - TClock::now()).count();
        pollfd p[2] = {{StopDescriptor(), POLLIN, 0}, {line ? line->Master() : -1, POLLIN, 0}};
        const int64_t waitUs = left <= 0 ? 0 : std::min<int64_t>(left, 60000000);
        const timespec timeout{static_cast<time_t>(waitUs / 1000000),
                               static_cast<long>(waitUs % 1000000) * 1000};
        const int n = ppoll(p, line ? 2 : 1, &timeout, nullptr);
        if (n < 0 && errno != EINTR) {
            return TWake::Stop;
        }
        if (line && (p[1].revents & POLLHUP) != 0) {
            return TWake::HangUp;
        }
        if (line && (p[1].revents & POLLIN) != 0) {
            line->DrainInput();
        }
        if (n == 0 && TClock::now() >= deadline) {
            return TWake::Due;
        }
    }
}

// Writes all bytes to a descriptor, waiting for room; false on a stop, a
// hang-up or an error (errno then tells which). done tells how many went.
bool WriteAll(int fd, const std::string& bytes, size_t& done) {
    done = 0;
    while (done < bytes.size()) {
        if (StopRequested()) {
            errno = EINTR;
            return false;
        }
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd p[2] = {{StopDescriptor(), POLLIN, 0}, {fd, POLLOUT, 0}};
        poll(p, 2, 1000);
        if ((p[1].revents & (POLLHUP | POLLERR)) != 0) {
            errno = EIO;
            return false;
        }
    }
    return true;
}

TClock::time_point DueAt(TClock::time_point start, double due, double speed) {
    if (speed <= 0) {
        return start;
    }
    return start +
           std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(due / speed));
}

// The pace of the chunks: each due that many seconds after the start, times
// the time factor; or, in real time, at its UTC second of the PC's clock
// plus the delay and a jitter.
class TPace {
  public:
    explicit TPace(const TOptions& options) : options_(options), rng_(std::random_device{}()) {}
    // The first epoch's UTC second, seconds since 1970; in real time the
    // next whole second of the PC's clock, which the pace then follows.
    int64_t RealtimeStart() {
        const auto wall = std::chrono::system_clock::now();
        const auto steady = TClock::now();
        const auto sinceEpoch = wall.time_since_epoch();
        const int64_t next =
            std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count() + 1;
        // The steady clock's reading at that UTC second.
        secondZero_ = steady + std::chrono::duration_cast<TClock::duration>(
                                   std::chrono::seconds(next) - sinceEpoch);
        return next;
    }
    void Start() { start_ = TClock::now(); }
    TClock::time_point Due(double due) {
        if (!options_.realtime) {
            return DueAt(start_, due, options_.speed);
        }
        const double jitter = options_.jitterMs > 0 ? std::uniform_real_distribution<double>(
                                                          0, options_.jitterMs)(rng_)
                                                    : 0.0;
        const double seconds = due + (options_.delayMs + jitter) / 1000.0;
        return secondZero_ +
               std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(seconds));
    }
    // In real time, an epoch whose time has gone by (while the line waited
    // for its reader) is not sent late: half an epoch late, it is skipped.
    bool Missed(TClock::time_point due) const {
        return options_.realtime &&
               TClock::now() - due > std::chrono::microseconds(500000 / options_.hz);
    }

  private:
    const TOptions& options_;
    std::mt19937_64 rng_;
    TClock::time_point start_ = TClock::now();
    TClock::time_point secondZero_ = TClock::now();
};

// The whole lines written so far, for --stats.
class TLineTally {
  public:
    void Add(const std::string& bytes, size_t written) {
        lines_ += static_cast<uint64_t>(
            std::count(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(written), '\n'));
    }
    uint64_t Lines() const { return lines_; }

  private:
    uint64_t lines_ = 0;
};

int RunStdout(TFeed& feed, TPace& pace, const TOptions& options, TLineTally& tally,
              std::ostream& err) {
    pace.Start();
    TChunk chunk;
    for (int64_t written = 0; options.count == 0 || written < options.count; ++written) {
        if (!feed.Next(chunk)) {
            break;
        }
        const TClock::time_point due = pace.Due(chunk.due);
        if (pace.Missed(due)) {
            --written;
            continue;
        }
        if (WaitUntil(due, nullptr) == TWake::Stop) {
            return kExitOk;
        }
        size_t done = 0;
        const bool whole = WriteAll(STDOUT_FILENO, chunk.bytes, done);
        tally.Add(chunk.bytes, done);
        if (!whole) {
            if (errno == EPIPE || errno == EINTR) {
                return kExitOk;  // the reader went away, or a stop signal
            }
            err << "nmeasim: cannot write to standard output: " << std::strerror(errno) << '\n';
            return kExitFailure;
        }
    }
    return kExitOk;
}

// Waits until someone opens the line; false on a stop signal.
bool WaitForReader(TPtyLine& line) {
    while (!line.HasReader()) {
        if (WaitUntil(TClock::now() + std::chrono::milliseconds(kReaderPollMs), nullptr) ==
            TWake::Stop) {
            return false;
        }
    }
    return true;
}

int RunPty(TFeed& feed, TPace& pace, const TOptions& options, TLineTally& tally, std::ostream& out,
           std::ostream& err) {
    TPtyLine line;
    std::string error;
    if (!line.Create(error)) {
        err << "nmeasim: " << error << '\n';
        return kExitFailure;
    }
    TLink link;
    if (!options.link.empty() && !link.Create(options.link, line.SlavePath(), error)) {
        err << "nmeasim: " << error << '\n';
        return kExitFailure;
    }
    out << line.SlavePath() << std::endl;

    // The receiver powers up when the first reader opens the line.
    if (!WaitForReader(line)) {
        return kExitOk;
    }
    pace.Start();
    // Without a pace nothing is lost by waiting: a persisting receiver
    // sleeps until the next reader, and what the last one did not take is
    // the next one's, instead of running through its scenario into nowhere.
    const bool hold = options.persist && options.speed <= 0;
    std::string held;  // the part of a chunk that no reader took yet
    TChunk chunk;
    for (int64_t written = 0; options.count == 0 || written < options.count;) {
        if (hold && !line.HasReader() && !WaitForReader(line)) {
            return kExitOk;
        }
        if (!held.empty()) {
            chunk.bytes = std::move(held);
            held.clear();
        } else if (!feed.Next(chunk)) {
            break;
        }
        const bool reader = line.HasReader();
        const TClock::time_point due = pace.Due(chunk.due);
        if (pace.Missed(due)) {
            continue;
        }
        const TWake wake = WaitUntil(due, reader ? &line : nullptr);
        if (wake == TWake::Stop) {
            return kExitOk;
        }
        if (wake == TWake::HangUp || !line.HasReader()) {
            if (!options.persist) {
                return kExitOk;  // the far end closed the line
            }
            if (hold) {
                held = std::move(chunk.bytes);
            }
            continue;  // nobody listens: the chunk is lost, as on a real line
        }
        size_t done = 0;
        const bool whole = WriteAll(line.Master(), chunk.bytes, done);
        tally.Add(chunk.bytes, done);
        if (!whole) {
            if (errno == EINTR || !options.persist) {
                return kExitOk;
            }
            if (hold) {
                held = chunk.bytes.substr(done);
            }
            continue;
        }
        ++written;
    }
    if (line.HasReader()) {
        WaitUntil(TClock::now() + kLinger, &line);
    }
    return kExitOk;
}

}  // namespace

bool ParseUtc(const std::string& text, int64_t& seconds) {
    std::string t = text;
    if (t.size() == 20 && t.back() == 'Z') {
        t.pop_back();
    }
    static constexpr char kLayout[] = "0000-00-00T00:00:00";
    if (t.size() != sizeof kLayout - 1) {
        return false;
    }
    for (size_t i = 0; i < t.size(); ++i) {
        const bool digit = t[i] >= '0' && t[i] <= '9';
        if (kLayout[i] == '0' ? !digit : t[i] != kLayout[i]) {
            return false;
        }
    }
    auto number = [&t](size_t from, size_t count) {
        return static_cast<unsigned>(std::stoul(t.substr(from, count)));
    };
    const unsigned y = number(0, 4);
    const unsigned mo = number(5, 2);
    const unsigned d = number(8, 2);
    const unsigned h = number(11, 2);
    const unsigned mi = number(14, 2);
    const unsigned s = number(17, 2);
    static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1980 || y > 2099 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] ||
        (mo == 2 && d == 29 && !tk::IsLeapYear(y)) || h > 23 || mi > 59 || s > 59) {
        return false;
    }
    seconds = tk::DaysFromCivil(y, mo, d) * 86400 + int64_t{h} * 3600 + mi * 60 + s;
    return true;
}

std::string UsageText() {
    return "Usage: nmeasim [options]\n"
           "A simulated GPS receiver: writes NMEA-0183 sentences (GPRMC, GPGGA, GPGSA and\n"
           "GPGSV, CR LF line ends) once a second (or --hz times) to a pseudo-terminal\n"
           "of its own, whose path it prints, or to standard output. The built-in\n"
           "scenario starts without a fix, gets a 2D and then a 3D fix, and has spells of\n"
           "DGPS and of lost fix, and now and then a damaged line, while the receiver\n"
           "moves along a track.\n"
           "\n"
           "Options:\n"
           "  --link PATH     also make a symbolic link PATH to the pseudo-terminal\n"
           "                  (an existing link there is replaced; removed at exit)\n"
           "  --stdout        write to standard output instead of a pseudo-terminal\n"
           "  --replay FILE   replay a recorded log instead: one epoch (the lines of one\n"
           "                  second, up to the next time stamp or RMC) a second\n"
           "  --rate N        with --replay: N lines a second instead\n"
           "  --seed N        the same N gives the same sentences every run\n"
           "  --start TIME    UTC of the first epoch, YYYY-MM-DDTHH:MM:SS[Z] or now\n"
           "                  (default now; with --seed 2024-06-15T10:15:00Z)\n"
           "  --speed F       time factor: 10 runs ten times as fast; 0 does not wait\n"
           "  --count N       stop after N epochs (with --rate: N lines)\n"
           "  --hz H          epochs a second: 1 (default), 2, 5 or 10; the RMC and GGA\n"
           "                  times carry the epoch's part of the second (hhmmss.00,\n"
           "                  .20, .40 ... at 5 Hz); with --replay, the log's epochs go\n"
           "                  out H a second\n"
           "  --dialect D     gp (default) or gnss: a GPS+GLONASS+Galileo receiver like a\n"
           "                  u-blox 8 at 9600 baud (GNRMC, GNVTG, GNGGA, three GNGSA,\n"
           "                  GPGSV, GLGSV and GAGSV with signal IDs, GNGLL), with an\n"
           "                  RTK float spell\n"
           "  --persist       when the reader closes the line, wait for the next one\n"
           "                  (with --speed 0 without running on: the next reader gets\n"
           "                  first what the last one left unsent)\n"
           "  --stats         at the end, print how many lines were written (to standard\n"
           "                  error: nmeasim: N lines written)\n"
           "  --realtime      the sentences carry the PC's own UTC time, and each epoch's\n"
           "                  first byte leaves --delay ms after the time it carries (the\n"
           "                  start of its UTC second at 1 Hz) plus a uniform jitter of\n"
           "                  up to --jitter ms, so the true offset of every fix is known\n"
           "  --delay MS      with --realtime: the receiver's output delay (default 120)\n"
           "  --jitter MS     with --realtime: the largest jitter (default 5)\n"
           "  --help          show this text\n"
           "  --version       print the program's name and version\n"
           "\n"
           "On a pseudo-terminal the receiver starts when a reader opens the line and\n"
           "nmeasim ends when the reader closes it (unless --persist), on Ctrl-C or\n"
           "SIGTERM, or one second after the last line. Example:\n"
           "  nmeasim --link /tmp/gps0 &\n"
           "  PALMOGPS_PORTS=/tmp/gps0 gpscat --port 1\n"
           "\n"
           "Exit status: 0 done, 1 failure (no pseudo-terminal, unreadable log), 2 bad usage.\n";
}

bool ParseOptions(const std::vector<std::string>& args, TOptions& options, std::string& error) {
    bool delayGiven = false;
    bool jitterGiven = false;
    bool startGiven = false;
    bool speedGiven = false;
    bool hzGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        const size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            hasValue = true;
        }
        const bool takesValue = name == "--link" || name == "--replay" || name == "--rate" ||
                                name == "--seed" || name == "--start" || name == "--speed" ||
                                name == "--count" || name == "--dialect" || name == "--delay" ||
                                name == "--jitter" || name == "--hz";
        if (takesValue && !hasValue) {
            if (i + 1 >= args.size()) {
                error = "nmeasim: option '" + name + "' needs a value";
                return false;
            }
            value = args[++i];
        } else if (!takesValue && hasValue) {
            error = "nmeasim: option '" + name + "' takes no value";
            return false;
        }
        auto bad = [&](const std::string& what) {
            error = "nmeasim: invalid value '" + value + "' for " + name + " (" + what + ")";
            return false;
        };
        if (name == "--link") {
            if (value.empty()) {
                return bad("a path");
            }
            options.link = value;
        } else if (name == "--replay") {
            if (value.empty()) {
                return bad("a file");
            }
            options.replay = value;
        } else if (name == "--rate") {
            if (!ParseNumber(value, options.rate) || !(options.rate > 0) ||
                !std::isfinite(options.rate)) {
                return bad("lines a second, more than 0");
            }
        } else if (name == "--seed") {
            uint64_t seed = 0;
            if (!ParseNumber(value, seed)) {
                return bad("a whole number");
            }
            options.seed = seed;
        } else if (name == "--start") {
            startGiven = true;
            int64_t start = 0;
            if (value == "now") {
                options.start.reset();
                continue;
            }
            if (!ParseUtc(value, start)) {
                return bad("YYYY-MM-DDTHH:MM:SS, years 1980 to 2099, or now");
            }
            options.start = start;
        } else if (name == "--speed") {
            speedGiven = true;
            if (!ParseNumber(value, options.speed) || options.speed < 0 ||
                !std::isfinite(options.speed)) {
                return bad("a factor, 0 or more");
            }
        } else if (name == "--count") {
            if (!ParseNumber(value, options.count) || options.count < 1) {
                return bad("a whole number from 1");
            }
        } else if (name == "--hz") {
            hzGiven = true;
            if (value == "1" || value == "2" || value == "5" || value == "10") {
                options.hz = std::stoi(value);
            } else {
                return bad("epochs a second: 1, 2, 5 or 10");
            }
        } else if (name == "--dialect") {
            if (value == "gp") {
                options.dialect = TDialect::GP;
            } else if (value == "gnss") {
                options.dialect = TDialect::GNSS;
            } else {
                return bad("gp or gnss");
            }
        } else if (name == "--delay" || name == "--jitter") {
            double ms = 0;
            if (!ParseNumber(value, ms) || ms < 0 || ms >= 1000 || !std::isfinite(ms)) {
                return bad("milliseconds, 0 to under 1000");
            }
            (name == "--delay" ? options.delayMs : options.jitterMs) = ms;
            (name == "--delay" ? delayGiven : jitterGiven) = true;
        } else if (name == "--realtime") {
            options.realtime = true;
        } else if (name == "--stdout") {
            options.toStdout = true;
        } else if (name == "--persist") {
            options.persist = true;
        } else if (name == "--stats") {
            options.stats = true;
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else {
            error = "nmeasim: unknown option '" + args[i] + "' (try --help)";
            return false;
        }
    }
    if ((delayGiven || jitterGiven) && !options.realtime) {
        error =
            std::string("nmeasim: ") + (delayGiven ? "--delay" : "--jitter") + " needs --realtime";
        return false;
    }
    if (options.realtime && (!options.replay.empty() || startGiven || speedGiven)) {
        error = std::string(
                    "nmeasim: --realtime runs the built-in scenario on the PC's clock, "
                    "not with ") +
                (!options.replay.empty() ? "--replay"
                 : startGiven            ? "--start"
                                         : "--speed");
        return false;
    }
    if (options.rate > 0 && options.replay.empty()) {
        error = "nmeasim: --rate needs --replay";
        return false;
    }
    if (options.rate > 0 && hzGiven) {
        error = "nmeasim: --rate sets lines a second, --hz epochs a second: give one of them";
        return false;
    }
    if (options.toStdout && (!options.link.empty() || options.persist)) {
        error = std::string("nmeasim: ") + (options.persist ? "--persist" : "--link") +
                " is for the pseudo-terminal, not with --stdout";
        return false;
    }
    return true;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    TOptions options;
    std::string error;
    if (!ParseOptions(args, options, error)) {
        err << error << '\n';
        return kExitUsage;
    }
    if (options.help) {
        out << UsageText();
        return kExitOk;
    }
    if (options.version) {
        out << "nmeasim " << palmo::kVersion << '\n';
        return kExitOk;
    }

    TPace pace(options);
    std::unique_ptr<TFeed> feed;
    if (!options.replay.empty()) {
        std::ifstream in(options.replay, std::ios::binary);
        std::ostringstream bytes;
        if (!in.is_open() || !(bytes << in.rdbuf())) {
            const int code = errno != 0 ? errno : ENOENT;
            err << "nmeasim: cannot read '" << options.replay << "': " << std::strerror(code)
                << '\n';
            return kExitFailure;
        }
        feed = std::make_unique<TReplayFeed>(bytes.str(), options.rate, options.hz);
    } else {
        const uint64_t seed = options.seed ? *options.seed : std::random_device{}();
        int64_t start = options.seed ? kSeededStart : 0;
        if (options.realtime) {
            start = pace.RealtimeStart();
        } else if (options.start) {
            start = *options.start;
        } else if (!options.seed) {
            start = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
        }
        feed = std::make_unique<TScenarioFeed>(seed, start, options.dialect, options.hz);
    }

    InstallStopSignals();
    TLineTally tally;
    const int status = options.toStdout ? RunStdout(*feed, pace, options, tally, err)
                                        : RunPty(*feed, pace, options, tally, out, err);
    if (options.stats) {
        err << "nmeasim: " << tally.Lines() << " lines written\n";
    }
    return status;
}

}  // namespace nmeasim
