#include "tools/gpscat/GpsCat.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <istream>
#include <memory>
#include <ostream>
#include <system_error>
#include <thread>

#include "PalmoVersion.h"
#include "toolkit/Clock.h"
#include "tools/common/Options.h"
#include "tools/gpscat/GpsCatShare.h"

namespace gpscat {

namespace {

constexpr size_t kChunk = 4096;

// How often a file reader that waits for the clients looks again, and how
// long the clients get at the end to take what they have not yet read.
constexpr std::chrono::milliseconds kServeWait{2};
constexpr std::chrono::seconds kServeDrain{10};
// A client with more unsent output than this holds the file back.
constexpr size_t kServeBacklog = 64 * 1024;
// The longest line a paced reader holds back whole.
constexpr size_t kMaxHeldLine = 64 * 1024;

// A file fed line by line: at --pace epochs a second (an epoch starts at
// each RMC, or at each GGA of a log without RMC), and while serving no
// faster than the clients read.
class TFilePacer {
  public:
    TFilePacer(const TOptions& options, TSharing& sharing)
        : sharing_(sharing),
          period_(options.pace > 0
                      ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(1.0 / options.pace))
                      : std::chrono::steady_clock::duration::zero()) {}
    bool Active() const { return period_.count() > 0 || sharing_.Active(); }

    template <typename FeedFn>
    bool Feed(std::string_view bytes, FeedFn& feed, std::ostream& err) {
        held_.append(bytes);
        size_t start = 0;
        for (size_t end; (end = held_.find('\n', start)) != std::string::npos; start = end + 1) {
            if (!FeedLine(std::string_view(held_).substr(start, end + 1 - start), feed, err)) {
                return false;
            }
        }
        held_.erase(0, start);
        if (held_.size() > kMaxHeldLine) {
            return Finish(feed);
        }
        return true;
    }

    // Feeds what is held (the end of a file without a last line end).
    template <typename FeedFn>
    bool Finish(FeedFn& feed) {
        const std::string rest = std::move(held_);
        held_.clear();
        return rest.empty() || feed(rest);
    }

  private:
    template <typename FeedFn>
    bool FeedLine(std::string_view line, FeedFn& feed, std::ostream& err) {
        if (period_.count() > 0 && StartsEpoch(line)) {
            const auto now = std::chrono::steady_clock::now();
            if (started_) {
                std::this_thread::sleep_until(next_);
            }
            // A reader held back longer than an epoch starts the beat anew.
            next_ = (started_ && next_ + period_ > now ? next_ : now) + period_;
            started_ = true;
        }
        while (sharing_.Active() && sharing_.Backlog() > kServeBacklog) {
            sharing_.WriteLog(err);
            std::this_thread::sleep_for(kServeWait);
        }
        sharing_.WriteLog(err);
        return feed(line);
    }

    bool StartsEpoch(std::string_view line) {
        const size_t dollar = line.find('$');
        if (dollar == std::string_view::npos || line.size() < dollar + 6) {
            return false;
        }
        const std::string_view type = line.substr(dollar + 3, 3);
        rmcSeen_ = rmcSeen_ || type == "RMC";
        return type == "RMC" || (!rmcSeen_ && type == "GGA");
    }

    TSharing& sharing_;
    const std::chrono::steady_clock::duration period_;
    std::chrono::steady_clock::time_point next_;
    bool started_ = false;
    bool rmcSeen_ = false;
    std::string held_;
};

}  // namespace

bool WriteLines(std::ostream& out, std::string& lines, int& error) {
    errno = 0;
    if (!lines.empty()) {
        out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
        lines.clear();
    }
    out.flush();
    if (!out) {
        error = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

int OutputFailure(std::ostream& err, int error) {
    if (error != EPIPE) {
        err << "gpscat: cannot write output: " << std::generic_category().message(error) << '\n';
    }
    return kExitFile;
}

bool TCatRecording::Start(const TOptions& options, gps::TNmeaDecoder& decoder, std::ostream& err) {
    if (options.gpx.empty() && options.nmeaLog.empty()) {
        return true;
    }
    record::TRecordOptions r;
    r.GpxPath = options.gpx;
    r.NmeaPath = options.nmeaLog;
    r.AcceptedOnly = options.nmeaAccepted;
    r.Overwrite = options.force;
    if (!recorder_.Start(r)) {
        err << "gpscat: " << recorder_.Error()
            << (recorder_.Error().ends_with(record::TRecordFile::kExists) ? " (--force replaces it)"
                                                                          : "")
            << '\n';
        return false;
    }
    // A write error ends the recording, never the reading.
    recorder_.OnFailure = [this, &err](const std::string& message) {
        failed_ = true;
        err << "gpscat: recording stopped: " << message << '\n';
    };
    listener_ = std::make_unique<record::TRecordListener>(decoder, recorder_);
    return true;
}

void TCatRecording::Tick() {
    recorder_.Tick(tk::MonotonicMs());
}

bool TCatRecording::Finish() {
    recorder_.Stop();
    listener_.reset();
    return !failed_;
}

int RunFiles(const TOptions& options, std::istream& stdinStream, std::ostream& out,
             std::ostream& err) {
    std::vector<std::string> names = options.files;
    if (names.empty()) {
        names.emplace_back("-");
    }
    // Open every file before reading any, so that a missing one stops the
    // program before it prints anything.
    std::vector<std::unique_ptr<std::ifstream>> files;
    for (const std::string& name : names) {
        if (name == "-") {
            files.emplace_back();
            continue;
        }
        std::error_code ec;
        if (std::filesystem::is_directory(name, ec)) {
            err << "gpscat: cannot read '" << name
                << "': " << std::make_error_code(std::errc::is_a_directory).message() << '\n';
            return kExitFile;
        }
        errno = 0;
        auto file = std::make_unique<std::ifstream>(name, std::ios::binary);
        if (!file->is_open()) {
            const int code = errno != 0 ? errno : ENOENT;
            err << "gpscat: cannot read '" << name << "': " << std::generic_category().message(code)
                << '\n';
            return kExitFile;
        }
        files.push_back(std::move(file));
    }

    gps::TNmeaDecoder decoder;
    decoder.SetDialect(options.dialect);
    const gps::TFixUnits units{options.units, options.posUnits, options.format};
    std::string lines;
    TEventListener writer(lines, decoder, units, options.satellites);
    if (!options.quiet) {
        decoder.AddListener(&writer);
    }
    TCatRecording recording;
    if (!recording.Start(options, decoder, err)) {
        return kExitFile;
    }

    // Shared with other programs: a file is read once a client watches,
    // since nobody would see it otherwise.
    TSharing sharing;
    if (!sharing.Start(options, err)) {
        return kExitFile;
    }
    if (sharing.Active()) {
        sharing.Attach(decoder);
        while (sharing.Watchers() == 0) {
            sharing.WriteLog(err);
            std::this_thread::sleep_for(kServeWait);
        }
    }
    TFilePacer pacer(options, sharing);

    char buffer[kChunk];
    int writeError = 0;
    // Hands bytes to the decoder and writes the events they raised.
    auto feed = [&](std::string_view bytes) {
        decoder.FeedBytes(bytes);
        return lines.empty() || WriteLines(out, lines, writeError);
    };
    for (size_t i = 0; i < files.size(); ++i) {
        std::istream& in = files[i] ? static_cast<std::istream&>(*files[i]) : stdinStream;
        if (sharing.Active()) {
            share::TDeviceInfo device;
            device.Path = names[i] == "-" ? "stdin" : names[i];
            device.Bps = 0;
            device.Activated = TArrivalTime::Now().Utc;
            sharing.SetDevice(device);
        }
        while (in) {
            // Wait for one byte, then take whatever else has already arrived,
            // so that a live stream (a pipe from a device) is decoded as it comes.
            in.read(buffer, 1);
            if (in.gcount() == 0) {
                break;
            }
            const auto n = 1 + static_cast<size_t>(in.readsome(buffer + 1, sizeof buffer - 1));
            const std::string_view bytes(buffer, n);
            if (!(pacer.Active() ? pacer.Feed(bytes, feed, err) : feed(bytes))) {
                return OutputFailure(err, writeError);
            }
        }
        if (pacer.Active() && !pacer.Finish(feed)) {
            return OutputFailure(err, writeError);
        }
        if (in.bad()) {
            out.flush();
            err << "gpscat: cannot read '" << names[i] << "': read error\n";
            return kExitFile;
        }
    }
    if (sharing.Active()) {
        // What the clients have not taken yet still reaches them.
        sharing.Drain(kServeDrain);
        sharing.Detach();
        sharing.Stop();
        sharing.WriteLog(err);
    }
    const bool recorded = recording.Finish();
    if (options.summary) {
        AppendState(lines, decoder, units);
    }
    if (!WriteLines(out, lines, writeError)) {
        return OutputFailure(err, writeError);
    }
    return recorded ? kExitOk : kExitFile;
}

int Run(const std::vector<std::string>& args, std::istream& stdinStream, std::ostream& out,
        std::ostream& err) {
    TOptions options;
    std::string error;
    if (!ParseOptions(args, options, error)) {
        err << error << '\n';
        return kExitUsage;
    }
    if (options.help || options.version) {
        return cli::PrintText(
            out, err, "gpscat",
            options.help ? UsageText() : std::string("gpscat ") + palmo::kVersion + '\n');
    }
    if (options.port != 0) {
        return RunPort(options, out, err);
    }
    return RunFiles(options, stdinStream, out, err);
}

}  // namespace gpscat
